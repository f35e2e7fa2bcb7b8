# Sourced by the set-up scripts: apt-get with retries. A mirror being synced answers an index
# of the wrong size for a minute or so ("Mirror sync in progress?"); retrying is what a person
# would do, and an install that still fails stops the set-up.
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

apt_update() {
  local try
  for try in 1 2 3 4 5 6; do
    $sudo_cmd apt-get update -qq && return 0
    echo "apt-get update failed (try $try); again in 20 s" >&2
    sleep 20
  done
  # Indexes that did arrive are used; the install below says if a package is still missing.
  echo "apt-get update kept failing; installing from the indexes at hand" >&2
}

apt_install() { # apt-get install arguments...
  local try
  for try in 1 2 3; do
    $sudo_cmd apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
    echo "apt-get install failed (try $try)" >&2
    sleep 20
    apt_update
  done
  return 1
}
