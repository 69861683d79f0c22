#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# and only those that are missing. Safe to run again.
set -euo pipefail

packages=(
    # build
    cmake g++ make qt6-base-dev qt6-qpa-plugins libgl-dev
    # what the program starts and needs at run time
    lsof python3 xdg-utils dbus fonts-dejavu-core adwaita-icon-theme libqt6svg6
    # the project's stop script checked under a shell without bash-4 features
    dash
    # the install test compares the packaged project with the checkout's files
    git
    # installing and packaging: the package, its checks, desktop file checks
    dpkg-dev file lintian desktop-file-utils appstream
    # the end-to-end tests: a display, an XEmbed tray, a hand on mouse and keys
    xvfb trayer xdotool x11-utils
    # and real desktops: sway + waybar (Wayland, a hand through wayvnc,
    # screenshots by grim), xfwm4 + xfce4-panel (X11), dunst for notices,
    # ImageMagick to read the screenshots
    sway waybar wayvnc grim qt6-wayland xfwm4 xfce4-panel xfconf dunst imagemagick
    # GNOME Shell with Debian's AppIndicator extension, its notification
    # service (gjs), settings (dconf), and the screen stream its
    # remote-desktop pointer needs (pipewire)
    gnome-shell gnome-shell-extension-appindicator gjs dconf-service pipewire
    # the guide's pictures from the running program (its sandbox helper
    # where unprivileged user namespaces are not allowed)
    chromium chromium-sandbox
    # cutting a process short at any system call (the upgrade test)
    strace
    # its own network namespace, where the fixed port 8765 is always free
    iproute2 util-linux
)

# KDE Plasma for its desktop test, only when asked (it is large; CI's
# Debian 13 root asks): kwin on X11 and plasmashell with its tray (Debian 12:
# Plasma 5 and kded5, Debian 13: Plasma 6 and kded6), and KDE's Qt 6
# platform theme, as a Plasma user has it.
if [ "${HARLUNE_E2E_PLASMA:-}" = 1 ]; then
    kded=kded6
    . /etc/os-release
    [ "${VERSION_ID%%.*}" != 12 ] || kded=kded5
    packages+=(plasma-desktop plasma-workspace kwin-x11 plasma-integration "$kded")
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q -o DPkg::Lock::Timeout=900 "${missing[@]}"
