# Sourced by the set-up scripts: apt-get with a few retries, and one fallback for an archive
# whose security suite is out of step with its signed Release file.
# MORVELT_APT_WAIT sets the seconds between retries (default 10; the set-up's test uses 0).
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_wait=${MORVELT_APT_WAIT:-10}

apt_update() {
  local try
  for try in 1 2 3; do
    $sudo_cmd apt-get update -qq && return 0
    [ "$try" -lt 3 ] || break
    echo "apt-get update failed (try $try); again in $apt_wait s" >&2
    sleep "$apt_wait"
  done
  # Indexes that did arrive are used; the install below says if a package is still missing.
  echo "apt-get update kept failing; installing from the indexes at hand" >&2
}

apt_install() { # apt-get install arguments...
  local try out=""
  for try in 1 2; do
    out=$($sudo_cmd apt-get install -y -qq --no-install-recommends "$@" 2>&1 >/dev/null) && return 0
    printf '%s\n' "$out" >&2
    echo "apt-get install failed (try $try)" >&2
    [ "$try" -lt 2 ] || break
    sleep "$apt_wait"
    apt_update
  done
  # Seen on Debian's archive: the security suite's i386 index was refused (its size did not
  # match the signed Release), so amd64 packages took their candidates from the security suite
  # while their i386 twins were known only from the main suite, and nothing could be resolved.
  # The point release alone resolves; it is taken for this install only, through a preferences
  # folder of our own, so the machine's /etc/apt stays as it was.
  grep -qE "held broken packages|Unable to correct problems" <<<"$out" || return 1
  local prefs rc=0
  prefs=$(mktemp -d)
  printf '%s\n' "Package: *" "Pin: release l=Debian-Security" "Pin-Priority: -1" >"$prefs/no-security.pref"
  chmod 755 "$prefs" && chmod 644 "$prefs/no-security.pref"
  echo "apt: the archive's security suite does not match its main suite here (held broken packages); installing from the point release without security updates" >&2
  $sudo_cmd apt-get install -y -qq --no-install-recommends -o Dir::Etc::PreferencesParts="$prefs" "$@" >/dev/null || rc=$?
  rm -rf "$prefs"
  return $rc
}
