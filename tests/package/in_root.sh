#!/bin/bash
# Run by package_test.sh inside the disposable root: install, look, upgrade,
# remove, purge. Each check names what it found when it fails.
set -euo pipefail
export LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive

fail() { echo "package test: $*" >&2; exit 1; }
expect() {  # expect WHAT EXPECTED ACTUAL
  [[ $3 == "$2" ]] || fail "$1: expected '$2', found '$3'"
}

conf=/etc/telvad.conf
cli=/usr/bin/telvad-cli
units=(/lib/systemd/system/telvad.service)
[[ -e /lib/systemd/system/lineward.service ]] && units+=(/lib/systemd/system/lineward.service)

dpkg -i /tmp/telvad.deb </dev/null

# --- what the installation put where ---
expect "conffiles" "/etc/telvad.conf" "$(dpkg-query -W -f='${Conffiles}' telvad | awk 'NF {print $1}')"
expect "default configuration" $'lock = /run/telvad.pid\nverbosity = err\ndc_port = 48900\nas_port = 48899\nserial_port_a = 49000\nserial_port_b = 49001\nalpaca_enabled = 0' "$(cat $conf)"
[[ -d /usr/lib/telvad/firmware ]] || fail "no firmware directory"
# A misspelt key is only a warning to verify; any word from it fails here.
said=$(systemd-analyze verify "${units[@]}" 2>&1) && [[ -z $said ]] ||
  fail "systemd-analyze verify: $said"
for unit in "${units[@]}"; do
  [[ -L /etc/systemd/system/multi-user.target.wants/$(basename "$unit") ]] ||
    fail "$(basename "$unit") not enabled"
done
version=$(telvad -V)
[[ $version == "telvad 61 (built "* ]] || fail "telvad -V said: $version"
page=$(MANWIDTH=200 man -P cat telvad 2>&1 | tr -s ' ') || fail "man telvad: $page"
[[ $page == *"telvad - serve the cameras"* ]] || fail "man telvad rendered: ${page:0:200}"
echo "installed: $version; units verified; man telvad renders"

if [[ -e $cli ]]; then
  expect "telvad-cli mode and owner" "4750 root www-data" "$(stat -c '%a %U %G' $cli)"
  "$cli" version || fail "telvad-cli version failed"
fi

# --- an edited configuration survives an upgrade and a removal ---
echo "alpaca_enabled = 1" >>$conf
edited=$(cat $conf)
dpkg -i /tmp/upgrade.deb </dev/null
expect "version after the upgrade" "999" "$(dpkg-query -W -f='${Version}' telvad | sed 's/.*-//')"
expect "edited configuration after the upgrade" "$edited" "$(cat $conf)"
[[ -e $cli ]] && expect "telvad-cli after the upgrade" "4750 root www-data" "$(stat -c '%a %U %G' $cli)"

dpkg -r telvad </dev/null
[[ ! -e /usr/bin/telvad ]] || fail "telvad still installed after dpkg -r"
expect "edited configuration after dpkg -r" "$edited" "$(cat $conf)"
expect "package state after dpkg -r" "config-files" "$(dpkg-query -W -f='${db:Status-Status}' telvad)"

dpkg -P telvad </dev/null
[[ ! -e $conf ]] || fail "$conf still there after dpkg -P"
[[ -z $(dpkg-query -W telvad 2>/dev/null) ]] || fail "dpkg still knows telvad after dpkg -P"
[[ -z $(dpkg-statoverride --list $cli) ]] || fail "statoverride of $cli left after dpkg -P"
echo "upgrade kept the edited $conf; dpkg -r kept it; dpkg -P removed it"

# --- a mode the administrator set for telvad-cli is theirs: kept, and kept on purge ---
if dpkg-deb --contents /tmp/telvad.deb | grep ' \./usr/bin/telvad-cli$' >/dev/null; then
  dpkg-statoverride --add root adm 4710 $cli
  dpkg -i /tmp/telvad.deb </dev/null >/dev/null
  expect "telvad-cli under the administrator's override" "4710 root adm" "$(stat -c '%a %U %G' $cli)"
  dpkg -P telvad </dev/null >/dev/null
  expect "administrator's override after dpkg -P" "root adm 4710 $cli" "$(dpkg-statoverride --list $cli)"
  dpkg-statoverride --remove $cli
  echo "an override of telvad-cli's mode made by the administrator is kept"
fi
