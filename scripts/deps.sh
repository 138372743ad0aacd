#!/usr/bin/env bash
# Installs the Debian 12 packages Sorvane needs to build and test, if missing.
# Sourced or run by scripts/test and scripts/run. Needs root (or sudo) to install.
set -euo pipefail

SORVANE_PACKAGES=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libssl-dev nlohmann-json3-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsecret-1-dev libglib2.0-bin gnome-keyring dbus dbus-daemon dbus-bin
  libsdbus-c++-dev qt6-base-dev qt6-svg-dev libgl-dev
  libx11-dev libxfixes-dev libxtst-dev libxi-dev xvfb openbox xclip xdotool imagemagick zbar-tools
  tint2 xfce4-panel xfconf
  libwayland-dev libwayland-bin libxkbcommon-dev sway wl-clipboard qt6-wayland kwin-wayland x11-xserver-utils
  libqrencode-dev libzbar-dev
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0 python3-gi
  locales-all fonts-dejavu-core
  desktop-file-utils appstream lintian dpkg-dev file
)

# sway refuses to run as root: tests run as root start it as this user.
SORVANE_WAYLAND_USER=sorvane-wl

sorvane_add_wayland_user() {
  if [ "$(id -u)" -eq 0 ] && ! getent passwd "$SORVANE_WAYLAND_USER" >/dev/null; then
    echo "Adding the system user $SORVANE_WAYLAND_USER (runs sway in the tests)"
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
      "$SORVANE_WAYLAND_USER"
  fi
}

sorvane_install_deps() {
  sorvane_add_wayland_user
  local missing=()
  local pkg
  for pkg in "${SORVANE_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  sorvane_install_deps
fi
