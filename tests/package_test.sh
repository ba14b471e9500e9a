#!/bin/sh
# Builds the package as a user would, checks the install tree, manual pages, service unit and
# .deb, then installs and purges the .deb in a throwaway overlay of this machine's root.
# Usage: package_test.sh SOURCE-DIR WORK-DIR
set -eu
src=$(cd "$1" && pwd)
work=$2
"$src/scripts/deps" dpkg-dev man-db systemd adduser lintian >&2
rm -rf "$work"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DVOK_TESTS=OFF >/dev/null
ninja -C "$work/build" >/dev/null
DESTDIR="$work/tree" cmake --install "$work/build" >/dev/null

failed=0
check() { eval "$2" || { echo "FAILED: $1"; failed=1; }; }
unit="$work/tree/lib/systemd/system/vok_relay.service"
# The rest is checked where it is used: the unit, the options file and the relay below.
check "the install tree has the client and both manual pages" \
  "[ -x '$work/tree/usr/bin/vok_client' ] && [ -f '$work/tree/usr/share/man/man8/vok_relay.8.gz' ] &&
   [ -f '$work/tree/usr/share/man/man1/vok_client.1.gz' ]"
for page in "$work"/tree/usr/share/man/man*/*; do
  check "man -l renders $(basename "$page") without warnings, naming the installed unit" \
    "[ -z \"\$(MANWIDTH=80 man --warnings -l '$page' 2>&1 >/dev/null)\" ] &&
     [ -z \"\$(zcat '$page' | groff -ww -man -z 2>&1)\" ] &&
     MANWIDTH=80 man -l '$page' 2>/dev/null | grep -q '^SYNOPSIS' &&
     ! zgrep -q '@' '$page'"
done
check "the unit runs the installed relay with its cache and the options of /etc/default" \
  "grep -qx 'ExecStart=/usr/sbin/vok_relay \$VOK_RELAY_OPTS \$VOK_RELAY_CACHE' '$unit' &&
   grep -qx 'Environment=VOK_RELAY_CACHE=-loadcache' '$unit' &&
   grep -qx 'SuccessExitStatus=1' '$unit' && grep -qx 'Restart=on-failure' '$unit' &&
   grep -qx 'EnvironmentFile=-/etc/default/vok_relay' '$unit'"
sed "s|/usr/sbin/vok_relay|$work/tree/usr/sbin/vok_relay|" "$unit" >"$work/vok_relay.service"
check "systemd accepts the unit, which waits for the relay to be ready and watches it" \
  "systemd-analyze verify --man=no '$work/vok_relay.service' &&
   grep -qx 'Type=notify' '$unit' && grep -qx 'WatchdogSec=30' '$unit'"
check "the unit is hardened" \
  "systemd-analyze security --offline=yes --threshold=20 '$work/vok_relay.service' >/dev/null"

(cd "$work/build" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/build/vok-relay_*.deb)
check "the package depends on the NIS client library and libsystemd" \
  "dpkg-deb -f '$deb' Depends | grep libnsl2 | grep libsystemd0 >/dev/null"
check "the options file is a conffile" "dpkg-deb -I '$deb' conffiles | grep -qx /etc/default/vok_relay"
check "lintian finds no error in the package" "lintian --fail-on error '$deb' >&2"

# Install, use and purge, in a private mount and network namespace whose root is an overlay.
if [ "$(id -u)" -eq 0 ]; then
  cp "$deb" "$work/vok-relay.deb"
  check "the package installs, runs -h, creates its user and cache, and purges cleanly, enabled" \
    "unshare -m -n sh -eu -c '
      mkdir -p $work/ov/up $work/ov/work $work/ov/root
      mount -t overlay overlay -o lowerdir=/,upperdir=$work/ov/up,workdir=$work/ov/work $work/ov/root
      mount --bind /proc $work/ov/root/proc
      mount --bind $work $work/ov/root/mnt
      chroot $work/ov/root sh -eu -c \"
        dpkg -i /mnt/vok-relay.deb >/dev/null
        [ -f /etc/default/vok_relay ]
        /usr/sbin/vok_relay -h | grep -qx \\\"Usage: vok_relay \\[-loadcache\\]\\\"
        getent passwd vok-relay | grep -q :/var/lib/vok_relay:
        [ \\\$(stat -c %U /var/lib/vok_relay/.vok/cache) = vok-relay ]
        systemctl enable vok_relay.service 2>/dev/null
        [ -L /etc/systemd/system/multi-user.target.wants/vok_relay.service ]
        dpkg --purge vok-relay >/dev/null
        [ ! -e /usr/sbin/vok_relay ] && [ ! -e /var/lib/vok_relay ]
        [ ! -e /etc/default/vok_relay ]
        [ -z \\\"\\\$(find /etc/systemd -name 'vok_relay*')\\\" ]
      \"' >&2"
  rm -rf "$work/ov"
else
  echo "not root: the package is not installed"
fi

[ "$failed" -eq 0 ] && echo "package_test: passed"
