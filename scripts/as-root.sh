# Sourced first thing by the set-up and test scripts, which install packages
# and enter a private network namespace: they run as root. A user with sudo
# gets the script run again through it; anyone else gets one line saying so.
if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        exec sudo -E "$0" "$@"
    fi
    echo "$(basename "$0"): needs root: run it as root, or install sudo and run it again" >&2
    exit 1
fi
