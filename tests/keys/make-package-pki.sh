#!/usr/bin/env bash
# Makes the PKI of the package cryptography tests with the openssl tool and the GOST engine;
# every URL in the certificates points at http://127.0.0.1:PORT/.
#   root.cer       self-signed "Package Root CA" (to be installed in "ROOT")
#   inter.cer      "Package Intermediate CA" issued by the root; CRL at /root.crl, issuer at /root.cer
#   applicant, notary, notary2, tax, other (.key, .pem, .cer): end certificates issued by the
#                  intermediate (CRL at /inter.crl, issuer at /inter.cer); GOST R 34.10-2012 256
#   inter.crl, root.crl  current lists, empty
# Usage: make-package-pki.sh OUTDIR PORT
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
out=$1
port=$2
mkdir -p "$out"
cd "$out"
base="http://127.0.0.1:$port"

{
  gost_openssl_head
  cat <<CNF
[v3_root]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
subjectKeyIdentifier = hash
[v3_inter]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true
crlDistributionPoints = URI:$base/root.crl
authorityInfoAccess = caIssuers;URI:$base/root.cer
[v3_user]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, keyAgreement
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter.cer
[policy_any]
countryName = optional
organizationName = optional
surname = optional
givenName = optional
commonName = supplied
[ca_root]
database = root-index.txt
serial = root-serial.txt
crlnumber = root-crlnumber.txt
new_certs_dir = .
default_md = md_gost12_256
policy = policy_any
unique_subject = no
email_in_dn = no
[ca_inter]
database = inter-index.txt
serial = inter-serial.txt
crlnumber = inter-crlnumber.txt
new_certs_dir = .
default_md = md_gost12_256
policy = policy_any
unique_subject = no
email_in_dn = no
CNF
} > openssl.cnf
export OPENSSL_CONF=$PWD/openssl.cnf
for db in root inter; do
  : > $db-index.txt
  echo 1000 > $db-serial.txt
  echo 01 > $db-crlnumber.txt
done
ago() { date -u -d "$1" +%Y%m%d%H%M%SZ; }

for k in root inter applicant notary notary2 tax other; do
  openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key 2>/dev/null
done
ca() {  # ca SECTION SIGNKEY SIGNCERT|- NAME SUBJECT EXT START END
  local section=$1 key=$2 cert=$3 name=$4 subject=$5 ext=$6 start=$7 end=$8
  openssl req -new -key $name.key -md_gost12_256 -subj "$subject" -out $name.csr
  if [[ $cert == - ]]; then
    openssl ca -batch -notext -preserveDN -config openssl.cnf -name $section -selfsign -keyfile $key -in $name.csr \
      -extfile openssl.cnf -extensions $ext -startdate "$start" -enddate "$end" -out $name.pem 2>/dev/null
  else
    openssl ca -batch -notext -preserveDN -config openssl.cnf -name $section -keyfile $key -cert $cert -in $name.csr \
      -extfile openssl.cnf -extensions $ext -startdate "$start" -enddate "$end" -out $name.pem 2>/dev/null
  fi
  openssl x509 -in $name.pem -outform DER -out $name.cer
}
ca ca_root root.key - root "/C=RU/O=Package PKI/CN=Package Root CA" v3_root "$(ago '-30 days')" "$(ago '+3650 days')"
ca ca_root root.key root.pem inter "/C=RU/O=Package PKI/CN=Package Intermediate CA" v3_inter \
  "$(ago '-20 days')" "$(ago '+3000 days')"
user() {
  ca ca_inter inter.key inter.pem $1 "$2" v3_user "$(ago '-10 days')" "$(ago '+365 days')"
}
user applicant "/C=RU/SN=Ivanov/GN=Ivan Ivanovich/CN=Ivanov Ivan Ivanovich"
user notary "/C=RU/SN=Petrov/GN=Petr/CN=Notary Petrov"
user notary2 "/C=RU/SN=Sidorov/GN=Sidor/CN=Notary Sidorov"
user tax "/C=RU/O=Tax Authority/CN=Tax Authority"
user other "/C=RU/CN=Other Signer"

crl() {  # crl SECTION KEY CERT OUT
  openssl ca -config openssl.cnf -name $1 -keyfile $2 -cert $3 -gencrl -crl_lastupdate "$(ago '-1 day')" \
    -crl_nextupdate "$(ago '+30 days')" -md md_gost12_256 -out $4.pem 2>/dev/null
  openssl crl -in $4.pem -outform DER -out $4
}
crl ca_inter inter.key inter.pem inter.crl
crl ca_root root.key root.pem root.crl
