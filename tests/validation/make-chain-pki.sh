#!/usr/bin/env bash
# Makes a small PKI for chain tests with the openssl tool and the GOST engine; every URL in the
# certificates points at http://127.0.0.1:PORT/.
#   root.cer          self-signed root "Chain Root CA" (valid from 30 days ago)
#   inter.cer         "Chain Intermediate CA" issued by the root; CRL at /root.crl, issuer at /root.cer
#   rogue-root.cer    a self-signed root with the root's name and another key
#   inter-forged.cer  a certificate with the intermediate's name and another key, issued by the rogue root
#   user.cer          "Chain User" issued by the intermediate (valid from 10 days ago); CRL at /inter.crl,
#                     issuer at /inter.cer
#   revoked.cer       "Chain Revoked", the same, revoked 5 days ago
#   forged-user.cer   "Forged User" with the intermediate's name as issuer, signed by the forged key;
#                     issuer at /inter-forged.cer
#   self.cer          "Self Signer", self-signed
#   inter.crl         the intermediate's CRL (listing revoked.cer), next update in 30 days
#   inter-expired.crl the intermediate's CRL with its next update 3 days ago
#   inter-forged.crl  a CRL with the intermediate's name signed by the forged key
#   root.crl          the root's CRL (empty)
#   *.key, *.pem      keys and PEM certificates for signing with openssl
# Usage: make-chain-pki.sh OUTDIR PORT
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
keyUsage = critical, digitalSignature, nonRepudiation
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter.cer
[v3_forged]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
crlDistributionPoints = URI:$base/inter.crl
authorityInfoAccess = caIssuers;URI:$base/inter-forged.cer
[v3_self]
keyUsage = digitalSignature
[policy_any]
countryName = optional
organizationName = optional
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
[ca_rogue]
database = rogue-index.txt
serial = rogue-serial.txt
crlnumber = rogue-crlnumber.txt
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
[ca_forged]
database = forged-index.txt
serial = forged-serial.txt
crlnumber = forged-crlnumber.txt
new_certs_dir = .
default_md = md_gost12_256
policy = policy_any
unique_subject = no
email_in_dn = no
CNF
} > openssl.cnf
export OPENSSL_CONF=$PWD/openssl.cnf
for db in root rogue inter forged; do
  : > $db-index.txt
  echo 1000 > $db-serial.txt
  echo 01 > $db-crlnumber.txt
done
ago() { date -u -d "$1" +%Y%m%d%H%M%SZ; }

for k in root rogue inter forged user revoked forged-user self; do
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
ca ca_root root.key - root "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root "$(ago '-30 days')" "$(ago '+3650 days')"
ca ca_rogue rogue.key - rogue "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root "$(ago '-30 days')" "$(ago '+3650 days')"
mv rogue.pem rogue-root.pem; mv rogue.cer rogue-root.cer
ca ca_root root.key root.pem inter "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  "$(ago '-20 days')" "$(ago '+3000 days')"
ca ca_rogue rogue.key rogue-root.pem forged "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  "$(ago '-20 days')" "$(ago '+3000 days')"
mv forged.pem inter-forged.pem; mv forged.cer inter-forged.cer
ca ca_inter inter.key inter.pem user "/C=RU/CN=Chain User" v3_user "$(ago '-10 days')" "$(ago '+365 days')"
ca ca_inter inter.key inter.pem revoked "/C=RU/CN=Chain Revoked" v3_user "$(ago '-10 days')" "$(ago '+365 days')"
ca ca_forged forged.key inter-forged.pem forged-user "/C=RU/CN=Forged User" v3_forged \
  "$(ago '-10 days')" "$(ago '+365 days')"
openssl req -new -x509 -key self.key -md_gost12_256 -days 365 -subj "/C=RU/CN=Self Signer" -extensions v3_self \
  -out self.pem
openssl x509 -in self.pem -outform DER -out self.cer

# The revoked certificate's revocation date, 5 days ago, written into the database.
serial=$(openssl x509 -in revoked.pem -noout -serial | cut -d= -f2)
revoked_at=$(date -u -d '-5 days' +%y%m%d%H%M%SZ)
awk -v s="$serial" -v r="$revoked_at" 'BEGIN{FS=OFS="\t"} $4==s {$1="R"; $3=r} {print}' inter-index.txt > t.txt
mv t.txt inter-index.txt

crl() {  # crl SECTION KEY CERT OUT LAST NEXT
  openssl ca -config openssl.cnf -name $1 -keyfile $2 -cert $3 -gencrl -crl_lastupdate "$5" -crl_nextupdate "$6" \
    -md md_gost12_256 -out $4.pem 2>/dev/null
  openssl crl -in $4.pem -outform DER -out $4
}
crl ca_inter inter.key inter.pem inter.crl "$(ago '-1 day')" "$(ago '+30 days')"
crl ca_inter inter.key inter.pem inter-expired.crl "$(ago '-10 days')" "$(ago '-3 days')"
crl ca_forged forged.key inter-forged.pem inter-forged.crl "$(ago '-1 hour')" "$(ago '+30 days')"
crl ca_root root.key root.pem root.crl "$(ago '-1 day')" "$(ago '+30 days')"
