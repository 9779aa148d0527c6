const char program_name[] = "vistrel";
