#!/bin/bash
# Completes Tether.app after CMake has built it (the build runs it; see the README):
#   assemble-bundle.sh APP AGENT TAB_HELPER_APP IDENTITY [SPARKLE_FRAMEWORK]
# Puts the agent in as the auxiliary executable Contents/MacOS/KinwardAgent and the tab helper as
# Contents/Helpers/TetherTabHelper.app, gives the app and the helper their own copies of the Qt
# frameworks (macdeployqt, found next to qmake or on PATH in MACDEPLOYQT), embeds Sparkle when
# given, and signs everything from the inside out with IDENTITY ("-" signs ad hoc) and the
# hardened runtime. The helper keeps its Apple Events entitlement. The helper is copied out of
# the bundle at install time, so it must not lean on the app's frameworks.
set -euo pipefail

[ $# -eq 4 ] || [ $# -eq 5 ] || {
  echo "usage: assemble-bundle.sh APP AGENT TAB_HELPER_APP IDENTITY [SPARKLE_FRAMEWORK]" >&2
  exit 2
}
app=$1
agent=$2
tab_helper=$3
identity=$4
sparkle=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
contents="$app/Contents"
helper="$contents/Helpers/TetherTabHelper.app"
macdeployqt=${MACDEPLOYQT:-macdeployqt}

sign() {
  codesign --force --options runtime --timestamp=none --sign "$identity" "$@"
}

# Every framework and plug-in the deployment put into a bundle, signed before the bundle.
sign_contents() {
  local item
  for item in "$1"/Contents/Frameworks/*.framework "$1"/Contents/Frameworks/*.dylib \
    "$1"/Contents/PlugIns/*/*.dylib; do
    [ -e "$item" ] && sign "$item"
  done
  return 0
}

cp "$agent" "$contents/MacOS/KinwardAgent"
rm -rf "$helper"
mkdir -p "$contents/Helpers"
ditto "$tab_helper" "$helper"

"$macdeployqt" "$helper" -always-overwrite
"$macdeployqt" "$app" -always-overwrite

if [ -n "$sparkle" ]; then
  mkdir -p "$contents/Frameworks"
  rm -rf "$contents/Frameworks/Sparkle.framework"
  ditto "$sparkle" "$contents/Frameworks/Sparkle.framework"
  # Sparkle's own helpers first, as its documentation asks of manual signing.
  versions="$contents/Frameworks/Sparkle.framework/Versions/B"
  for item in "$versions/XPCServices/Installer.xpc" "$versions/Autoupdate" "$versions/Updater.app"; do
    [ -e "$item" ] && sign "$item"
  done
  [ -e "$versions/XPCServices/Downloader.xpc" ] &&
    sign --preserve-metadata=entitlements "$versions/XPCServices/Downloader.xpc"
fi

sign_contents "$helper"
sign --entitlements "$here/TetherTabHelper.entitlements" "$helper"
sign "$contents/MacOS/KinwardAgent"
sign_contents "$app"
sign "$app"
