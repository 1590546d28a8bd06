# Sourced by the scripts that publish a test plugin release with
# lumenfeld-publish: the test CDNs, the main job and the downtime bench.
#
#   write_test_plugin DIR LABEL
#     A small plugin build in DIR: obs-browser.dll and obs-browser-page.exe
#     whose content names LABEL, and locale/en-US.ini.
#
#   publish_test_release TOOL CDN REV PLUGIN_DIR INSTALLER_URL OBS_EXE [ARG...]
#     Publishes into the CDN folder CDN, with the publishing tool TOOL:
#     plugin release REV built from PLUGIN_DIR for OBS 30.1.2 (its installer
#     to be served at INSTALLER_URL), the version table naming the build of
#     OBS_EXE as 30.1.2, and the rollout of REV to every machine. The ARGs
#     (--key FILE, say) are given to each of the three commands.

write_test_plugin() {
  mkdir -p "$1/locale"
  printf 'browser plugin, %s\n' "$2" >"$1/obs-browser.dll"
  printf 'page helper, %s\n' "$2" >"$1/obs-browser-page.exe"
  printf '[en-US]\nReload="Reload"\n' >"$1/locale/en-US.ini"
}

publish_test_release() {
  local tool=$1 cdn=$2 rev=$3 plugin=$4 url=$5 obs=$6
  shift 6
  "$tool" release --cdn "$cdn" --rev "$rev" --plugin-dir "$plugin" --obs-version 30.1.2 \
    --installer-url "$url" "$@"
  "$tool" obs --cdn "$cdn" --exe "$obs" --version 30.1.2 "$@"
  "$tool" publish --cdn "$cdn" --new "$rev" --stable "$rev" --chance 100 "$@"
}
