# Debian packages the project needs, and the function that installs the missing ones.
# Sourced by scripts/start and scripts/test.
KV_PACKAGES=(
  cmake g++ make pkg-config git
  libgtest-dev libgmock-dev
  libgtk-3-dev libx11-dev
  xvfb xauth xdotool x11-utils imagemagick
  netcat-openbsd procps acl e2fsprogs
  dpkg-dev lintian
  avahi-daemon dbus avahi-utils iproute2 tmux
)

# The Windows build and its tests under wine (scripts/test): the cross compiler, wine,
# the installer maker, ss for the programs' ports, tmux for a terminal, unzip, and pefile
# to read the programs' resources back.
KV_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 nsis iproute2 tmux unzip python3-pefile)

# The tests alone (scripts/test): a private message bus with a stand-in for the login
# manager, for the sleep inhibitor.
KV_TEST_PACKAGES=(dbus-daemon python3-dbus python3-gi)

kv_install_packages() {
  local missing=()
  local p
  for p in "${KV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing: ${missing[*]}" >&2
    echo "Install them as root, for example: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing the missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
