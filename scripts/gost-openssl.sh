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

# gost_ca_sections NAME...
#   Prints the configuration of `openssl ca` authorities [ca_NAME], each keeping its database,
#   serial and CRL number in NAME-index.txt, NAME-serial.txt, NAME-crlnumber.txt of the current
#   folder, signing with GOST R 34.11-2012 (256) and taking any subject (policy_any; the issuing
#   commands keep the request's name as it is).
gost_ca_sections() {
  printf '[policy_any]\ncountryName = optional\norganizationName = optional\nsurname = optional\n'
  printf 'givenName = optional\ncommonName = supplied\n'
  local name
  for name in "$@"; do
    printf '[ca_%s]\ndatabase = %s-index.txt\nserial = %s-serial.txt\ncrlnumber = %s-crlnumber.txt\n' \
      "$name" "$name" "$name" "$name"
    printf 'new_certs_dir = .\ndefault_md = md_gost12_256\npolicy = policy_any\nunique_subject = no\n'
    printf 'email_in_dn = no\n'
  done
}

# gost_ca_init NAME...
#   Starts the databases of the authorities: no certificates, serials from 1000, CRL number 01.
gost_ca_init() {
  local name
  for name in "$@"; do
    : > "$name-index.txt"
    echo 1000 > "$name-serial.txt"
    echo 01 > "$name-crlnumber.txt"
  done
}

# gost_time OFFSET
#   The UTC time OFFSET from now ("-30 days", "+1 hour") in the form openssl ca takes.
gost_time() { date -u -d "$1" +%Y%m%d%H%M%SZ; }

# gost_issue SECTION SIGNKEY SIGNCERT|- NAME SUBJECT EXTENSIONS FROM TO
#   Issues NAME.pem and NAME.cer for the key NAME.key through the authority SECTION of
#   ./openssl.cnf, signed with SIGNKEY under SIGNCERT (self-signed with "-"), valid from the
#   offset FROM to the offset TO ("-30 days", "+365 days").
gost_issue() {
  local section=$1 key=$2 cert=$3 name=$4 subject=$5 ext=$6
  local start end
  start=$(gost_time "$7")
  end=$(gost_time "$8")
  local issuer=(-cert "$cert")
  [[ $cert == - ]] && issuer=(-selfsign)
  openssl req -new -key "$name.key" -md_gost12_256 -subj "$subject" -out "$name.csr"
  openssl ca -batch -notext -preserveDN -config openssl.cnf -name "$section" "${issuer[@]}" -keyfile "$key" \
    -in "$name.csr" -extfile openssl.cnf -extensions "$ext" -startdate "$start" -enddate "$end" \
    -out "$name.pem" 2>/dev/null
  openssl x509 -in "$name.pem" -outform DER -out "$name.cer"
}

# gost_crl SECTION KEY CERT OUT LAST NEXT
#   Writes the authority's current CRL to OUT (DER) and OUT.pem, issued at the offset LAST with
#   its next update at the offset NEXT ("-1 day", "+30 days").
gost_crl() {
  openssl ca -config openssl.cnf -name "$1" -keyfile "$2" -cert "$3" -gencrl -crl_lastupdate "$(gost_time "$5")" \
    -crl_nextupdate "$(gost_time "$6")" -md md_gost12_256 -out "$4.pem" 2>/dev/null
  openssl crl -in "$4.pem" -outform DER -out "$4"
}
