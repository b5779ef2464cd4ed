#include "platform/files/Drives.h"

#include <gtest/gtest.h>

// A floppy, two fixed disks and a CD-ROM, among the usual pseudo file systems.
TEST(Drives, FixedDrivesAreLocalDiskMountsInAscendingOrder) {
    const std::string table =
        "proc /proc proc rw 0 0\n"
        "/dev/sdb1 /srv/data ext4 rw 0 0\n"
        "/dev/fd0 /media/floppy vfat rw 0 0\n"
        "/dev/sda1 / ext4 rw 0 0\n"
        "/dev/sr0 /media/cdrom iso9660 ro 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "server:/export /mnt/nfs nfs4 rw 0 0\n"
        "/dev/loop3 /snap/core squashfs ro 0 0\n"
        "/dev/loop4 /mnt/image ext4 ro 0 0\n"
        "/dev/sdc1 /media/usb\\040stick exfat rw 0 0\n"
        "/dev/sda1 /etc/hosts ext4 rw 0 0\n"
        "/dev/sda2 /home/My\\040Files xfs rw 0 0\n"
        "/dev/sdb1 /srv/data ext4 rw 0 0\n";
    TDriveProbe probe;
    probe.IsRemovable = [](const std::string& device) { return device == "/dev/fd0" || device == "/dev/sdc1"; };
    probe.IsFolder = [](const std::string& path) { return path != "/etc/hosts"; };
    auto mounts = ParseMountTable(table);
    ASSERT_EQ(mounts.size(), 13u);
    EXPECT_EQ(mounts[9].MountPoint, "/media/usb stick");
    EXPECT_EQ(FixedDrives(mounts, probe), (std::vector<std::string>{"/", "/home/My Files", "/srv/data"}));
}
