# Shared by build-linux.sh and build-windows.sh (sourced, not run). The caller
# sets $tree (the source tree), $caller (where the script was started) and
# defines die().

# The commit's time stands for "now" in whatever the tools stamp, so that
# the same commit gives the same program whenever it is built. A checkout
# without git history (verify-build.sh's) is handed the time in the variable.
export_source_date_epoch() {
  if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$tree" log -1 --format=%ct 2>/dev/null) ||
      die "SOURCE_DATE_EPOCH is not set and $tree is no git checkout"
  fi
  export SOURCE_DATE_EPOCH
}

# CMake arguments for KANADE_PUBLISHER_KEYS (a file relative to where the
# script started) into the array publisher_keys_args. Without the variable
# the setting goes back to its default, not to the file of an earlier run.
set_publisher_keys_args() {
  publisher_keys_args=(-UKANADE_PUBLISHER_KEYS)
  if [ -n "${KANADE_PUBLISHER_KEYS:-}" ]; then
    local file
    file=$(cd "$caller" && realpath -m -- "$KANADE_PUBLISHER_KEYS")
    [ -f "$file" ] || die "KANADE_PUBLISHER_KEYS: no such file: $file"
    publisher_keys_args=(-DKANADE_PUBLISHER_KEYS="$file")
  fi
}
