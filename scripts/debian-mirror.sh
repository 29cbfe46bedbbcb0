# Sourced by the scripts that make Debian roots (wine-env.sh, check-fresh.sh).
# The Debian archive the host already uses: the first non-security URI of its
# apt sources (deb822 or one-line form).
host_mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}' \
          | grep -E '/debian/?$' | grep -v security | head -n1 || true)
  if [ -z "$uri" ]; then
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' \
            | grep -E '/debian/?$' | grep -v security | head -n1 || true)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}
