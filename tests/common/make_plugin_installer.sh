#!/usr/bin/env bash
# Builds a small silent NSIS plugin installer, as the CDN would serve one.
#
#   make_plugin_installer.sh <payload folder> <output.exe> [exit code]
#
# The installer (64-bit, Unicode, so it runs under wine64) copies every file
# of the payload folder, subfolders included, into the folder given with
# /D=, creating it, and exits with the exit code (default 0). Run it as
#   "<output.exe>" /S /D=<folder>
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 <payload folder> <output.exe> [exit code]" >&2
  exit 2
fi
payload=$(realpath "$1")
output=$(realpath -m "$2")
exit_code=${3:-0}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$output")"
cat >"$work/installer.nsi" <<NSI
Unicode true
Target amd64-unicode
Name "Lumenfeld plugin"
OutFile "$output"
RequestExecutionLevel user
SilentInstall silent
InstallDir "\$TEMP\\LumenfeldPluginTest"
Section
  SetOutPath "\$INSTDIR"
  File /r "$payload/*"
  SetErrorLevel $exit_code
SectionEnd
NSI
makensis -V2 "$work/installer.nsi" >"$work/makensis.out" 2>&1 || {
  cat "$work/makensis.out" >&2
  exit 1
}
