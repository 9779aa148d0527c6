// An image file that backs a loop device may be mounted through it: a write
// to the file would then change a filesystem under the kernel's feet.  The
// exclusive open guards block devices only, so a file is looked up among the
// loop devices' backing files (same device and inode) before a run writes.
#include "volume.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// true when loop device `name` (loop0, ...) is backed by the file of `file`
bool backs(const char *name, const struct stat &file)
{
    // the kernel's own record of the backing file, also when it was renamed
    // or removed; only root may ask it
    std::string device = std::string("/dev/") + name;
    int fd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        loop_info64 info;
        bool attached = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        close(fd);
        if (attached)
            return info.lo_inode == file.st_ino && info.lo_device == file.st_dev;
    }
    // the path that sysfs shows to everyone
    std::string sys = std::string("/sys/block/") + name + "/loop/backing_file";
    FILE *text = std::fopen(sys.c_str(), "re");
    if (!text)
        return false;
    char path[4096];
    bool read = std::fgets(path, sizeof path, text) != nullptr;
    std::fclose(text);
    if (!read)
        return false;
    path[strcspn(path, "\n")] = '\0';
    struct stat backing;
    return stat(path, &backing) == 0 && backing.st_dev == file.st_dev && backing.st_ino == file.st_ino;
}

}  // namespace

int refuse_image_in_use(int fd, const char *path)
{
    struct stat file;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode))
        return 0;
    DIR *folder = opendir("/sys/block");
    if (!folder)
        return 0;
    int result = 0;
    while (dirent *entry = readdir(folder)) {
        if (std::strncmp(entry->d_name, "loop", 4) != 0 || !backs(entry->d_name, file))
            continue;
        log_error("'%s' is in use by /dev/%s\n", path, entry->d_name);
        result = 1;
        break;
    }
    closedir(folder);
    return result;
}
