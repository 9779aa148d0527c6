#!/bin/sh
# Lint the manual pages: groff must print no warning for either page, and,
# where man is installed, "man -l" must render each page.
# Usage: manpage_lint.sh MANDIR
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 MANDIR" >&2
    exit 2
fi
mandir=$1

groff=$(command -v groff || echo /usr/bin/groff)
if [ ! -x "$groff" ]; then
    echo "manpage_lint: groff not found" >&2
    exit 1
fi

status=0
for name in vistrel plandor; do
    page=$mandir/$name.8
    if [ ! -f "$page" ]; then
        echo "manpage_lint: $page: missing" >&2
        status=1
        continue
    fi
    out=$("$groff" -ww -man -z "$page" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        echo "manpage_lint: $page: groff reported (status $rc):" >&2
        printf '%s\n' "$out" >&2
        status=1
    fi
    if command -v man >/dev/null 2>&1; then
        if ! MANWIDTH=80 man -l "$page" >/dev/null; then
            echo "manpage_lint: $page: man -l failed" >&2
            status=1
        fi
    fi
done
exit $status
