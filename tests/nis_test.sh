#!/bin/sh
# Installs the NIS server packages where missing (as root), then runs the NIS test binary,
# which starts the servers inside its own sandbox.
set -eu
here=$(dirname "$0")
"$here/../scripts/deps" rpcbind ypserv ypbind-mt yp-tools >&2
LSAN_OPTIONS="suppressions=$(cd "$here" && pwd)/lsan.supp" exec "$1"
