# Sourced by the scripts that make test PKIs with the openssl command-line tool.
#
# gost_openssl_head [utf8]
#   Prints the head of an openssl configuration that loads the GOST engine for every
#   algorithm and lets `openssl req` take the whole name from -subj; with "utf8", name
#   attributes are read and encoded as UTF8String. The caller appends its own sections.
gost_openssl_head() {
  cat <<'CNF'
openssl_conf = openssl_def
[openssl_def]
engines = engine_section
[engine_section]
gost = gost_section
[gost_section]
engine_id = gost
default_algorithms = ALL
[req]
distinguished_name = dn
CNF
  if [[ ${1:-} == utf8 ]]; then
    printf 'utf8 = yes\nstring_mask = utf8only\n'
  fi
  printf '[dn]\n'
}
