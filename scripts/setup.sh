#!/usr/bin/env bash
# Installs what is missing (Debian 12 packages only), then configures and
# builds the preset named in $1 (default: "default"). Quick when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

packages=(g++ cmake ninja-build pkg-config git libgtest-dev clang libclang-rt-14-dev
          qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-image-formats-plugins qt6-qpa-plugins
          ntfs-3g ntfs-3g-dev libblkid-dev libsystemd-dev sleuthkit
          dbus udev polkitd udisks2
          xvfb xauth x11-apps imagemagick fonts-dejavu-core fonts-liberation
          shared-mime-info adwaita-icon-theme hicolor-icon-theme time locales libicu-dev
          desktop-file-utils appstream man-db librsvg2-bin dpkg-dev debootstrap
          libewf-dev libvhdi-dev libvmdk-dev libqcow-dev libvshadow-dev libbde-dev libbfio-dev libssl-dev libdeflate-dev
          fdisk gdisk qemu-utils ewf-tools libvshadow-utils gddrescue xz-utils
          ffmpeg ghostscript zip sqlite3 p7zip-full python3 testdisk libfuse3-dev fuse3)
# The Windows build and its tests under Wine: the cross compiler, wine64 and
# GoogleTest's sources. Without what they recommend (sound, video, drivers
# and fonts for windows no test opens).
windows_packages=(g++-mingw-w64-x86-64-posix wine64 googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
missing_windows=()
for p in "${windows_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing_windows+=("$p")
done
if ((${#missing[@]} + ${#missing_windows[@]})); then
  echo "Installing with apt-get: ${missing[*]} ${missing_windows[*]}"
  echo "(with what they need, a few hundred Debian packages on a fresh system: some minutes, apt-get's own output hidden)"
  # The names asked for, kept for their removal (README, "Removing it all").
  mkdir -p build
  printf '%s\n' "${missing[@]}" "${missing_windows[@]}" >> build/packages-installed.txt
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if ((${#missing_windows[@]})); then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
      "${missing_windows[@]}" >/dev/null
  fi
fi

# The locale a Debian installer sets, where the machine lacks it (a bare
# container): the tests run under the user's locale.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

# mkntfs lives in /usr/sbin, which a user's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"
dir=build; [ "$preset" = default ] || dir="build-$preset"
if [ ! -f "$dir/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" -j "$(nproc)"
