# Shell helpers shared by the archive and stick-tree builds: one list of the
# GRUB modules the drive's loaders carry, and one way to make an image.
# Sourced, not run.

# What the BIOS and UEFI loaders both carry: partition tables and file
# systems users' drives and ISO images have, loopback for ISO images, the
# commands grub.cfg files use, and serial or graphical consoles.
GRUB_MODULES="part_msdos part_gpt fat exfat ntfs ext2 iso9660 udf loopback
  normal configfile echo test regexp probe ls cat search search_fs_file
  search_fs_uuid search_label minicmd sleep halt reboot keystatus
  chain linux gzio xzio all_video gfxterm font serial terminal"

# Modules only one platform has.
GRUB_MODULES_i386_pc="biosdisk linux16"

# make_grub PLATFORM OUTPUT PREFIX [EMBEDDED_CONFIG]
# Makes a GRUB image for PLATFORM (i386-pc, x86_64-efi, i386-efi) from the
# modules of /usr/lib/grub/PLATFORM. A module the platform's directory lacks
# stops the build: a loader without it would fail only at boot.
make_grub() {
  local platform=$1 out=$2 prefix=$3 embed=${4:-} extra m
  extra=GRUB_MODULES_${platform//-/_}
  local mods=($GRUB_MODULES ${!extra:-})
  for m in "${mods[@]}"; do
    [ -f "/usr/lib/grub/$platform/$m.mod" ] || { echo "grub.sh: no module $m for $platform" >&2; return 1; }
  done
  grub-mkimage -O "$platform" -o "$out" -p "$prefix" ${embed:+-c "$embed"} "${mods[@]}"
}
