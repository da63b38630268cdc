#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need. Idempotent
# and quick when everything is present: apt runs only for what is missing.
set -euo pipefail

packages=(
  # toolchain and build
  cmake ninja-build g++ pkg-config
  # runtime: Boost.Asio coroutines, GLib main loop, journal logging
  libboost1.81-dev libglib2.0-dev libsystemd-dev
  # JSON
  nlohmann-json3-dev
  # upload client and the reference upload service
  libcurl4-openssl-dev libcpp-httplib-dev libssl-dev curl
  # the upload service's ID token signatures
  libjwt-dev
  # webcam capture and the MP4 writer
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-pipewire gstreamer1.0-tools
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzers: clang with the libFuzzer runtime
  clang libclang-rt-14-dev
  # page-side script tests, the web app's build, its browser tests (Debian's Chromium)
  nodejs chromium
  # the window: GTK 4 and WebKitGTK, tested under Xvfb on a private bus
  libgtk-4-dev libwebkitgtk-6.0-dev xvfb xauth dbus dbus-x11 desktop-file-utils libglib2.0-bin
  # tools the tests call: locale sources (file URLs under single-byte
  # locales), a throw-away TLS certificate (redirect tests)
  locales openssl
  # camera service activation: the stand-in systemd on a private bus
  # (dbus-python with GLib), systemd-analyze to check unit files
  python3-dbusmock python3-dbus python3-gi systemd
  # the camera program: PipeWire, and a private graph in tests
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber
  # format and lint gates
  clang-format clang-tidy
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

# Debian 12 ships npm apart from nodejs; a Node.js from elsewhere (such as
# NodeSource's) carries its own npm and conflicts with Debian's package.
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
