# Shell functions for putting the files the agent expects beside it into an
# installation folder. Source this file; it runs nothing by itself.
#
#   tavni_install_etc DIR   copies the e-mail report templates (etc/*.emt)
#                           into DIR/etc, creating the folder when needed.

tavni_install_etc() {
  local dest=${1:?usage: tavni_install_etc DIR}
  local src
  src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/etc"
  mkdir -p "$dest/etc" || return 1
  cp "$src"/*.emt "$dest/etc/" || return 1
}
