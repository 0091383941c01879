#!/usr/bin/env bash
# Installs the system packages the build needs (BLIS, serial build) when they are missing.
set -euo pipefail
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
if [ -f "/usr/include/$arch/blis-serial/blis.h" ] && [ -e "/usr/lib/$arch/blis-serial/libblis.so" ]; then
  exit 0
fi
if ! command -v apt-get >/dev/null; then
  echo "BLIS (serial) is missing and apt-get is not available: install libblis-serial-dev" >&2
  exit 1
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing libblis-serial-dev (BLIS, serial build) ..." >&2
$sudo apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libblis-serial-dev >&2
