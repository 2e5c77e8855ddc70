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
# With "paths" as the third argument, also the certificates of the path and signer rules:
#   notary.cer        "Chain Notary" issued by the end entity user.cer (CA:false, no keyCertSign),
#                     issuer at /user.cer; user.crl its list signed with the user's key
#   noks-ca.cer       "No CertSign CA" from the root: CA:true, keyUsage cRLSign only; noks-user.cer under it
#   nocrl-ca.cer      "No CrlSign CA" from the root: CA:true, keyUsage keyCertSign only; nocrl-user.cer under
#                     it, nocrl-ca.crl its list
#   pl0-ca.cer        "PathLen0 CA" from the root with pathlen:0; pl0-sub.cer "PathLen0 Sub CA" under it
#                     (CA:true); pl0-user.cer under the sub CA: one intermediate too many
#   v1-root.cer       "V1 Root" self-signed version 1 certificate; v1-user.cer under it
#   kenc.cer kcs.cer eku.cer
#                     users of the intermediate with keyUsage keyEncipherment only, keyCertSign only,
#                     and a critical extendedKeyUsage serverAuth only
#   weak-root.cer     "Weak Root" self-signed RSA-1024 CA (SHA-256); weak-sha1.cer a user under it signed
#                     with SHA-1, weak-rsa.cer one signed with SHA-256
# Usage: make-chain-pki.sh OUTDIR PORT [paths]
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../scripts/gost-openssl.sh"
out=$1
port=$2
paths=${3:-}
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
[v3_notary]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
crlDistributionPoints = URI:$base/user.crl
authorityInfoAccess = caIssuers;URI:$base/user.cer
[v3_noks]
keyUsage = critical, cRLSign
basicConstraints = critical, CA:true
[v3_nocrl]
keyUsage = critical, keyCertSign
basicConstraints = critical, CA:true
[v3_pl0]
keyUsage = critical, keyCertSign, cRLSign
basicConstraints = critical, CA:true, pathlen:0
[v3_kenc]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment
[v3_kcs]
basicConstraints = CA:false
keyUsage = critical, keyCertSign
[v3_eku]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, serverAuth
CNF
  gost_ca_sections root rogue inter forged user noks nocrl pl0 pl0sub v1
} > openssl.cnf
export OPENSSL_CONF=$PWD/openssl.cnf
gost_ca_init root rogue inter forged user noks nocrl pl0 pl0sub v1

for k in root rogue inter forged user revoked forged-user self; do
  openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key 2>/dev/null
done
gost_issue ca_root root.key - root "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root '-30 days' '+3650 days'
gost_issue ca_rogue rogue.key - rogue "/C=RU/O=Chain PKI/CN=Chain Root CA" v3_root '-30 days' '+3650 days'
mv rogue.pem rogue-root.pem; mv rogue.cer rogue-root.cer
gost_issue ca_root root.key root.pem inter "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  '-20 days' '+3000 days'
gost_issue ca_rogue rogue.key rogue-root.pem forged "/C=RU/O=Chain PKI/CN=Chain Intermediate CA" v3_inter \
  '-20 days' '+3000 days'
mv forged.pem inter-forged.pem; mv forged.cer inter-forged.cer
gost_issue ca_inter inter.key inter.pem user "/C=RU/CN=Chain User" v3_user '-10 days' '+365 days'
gost_issue ca_inter inter.key inter.pem revoked "/C=RU/CN=Chain Revoked" v3_user '-10 days' '+365 days'
gost_issue ca_forged forged.key inter-forged.pem forged-user "/C=RU/CN=Forged User" v3_forged '-10 days' '+365 days'
openssl req -new -x509 -key self.key -md_gost12_256 -days 365 -subj "/C=RU/CN=Self Signer" -extensions v3_self \
  -out self.pem
openssl x509 -in self.pem -outform DER -out self.cer

# The revoked certificate's revocation date, 5 days ago, written into the database.
serial=$(openssl x509 -in revoked.pem -noout -serial | cut -d= -f2)
revoked_at=$(date -u -d '-5 days' +%y%m%d%H%M%SZ)
awk -v s="$serial" -v r="$revoked_at" 'BEGIN{FS=OFS="\t"} $4==s {$1="R"; $3=r} {print}' inter-index.txt > t.txt
mv t.txt inter-index.txt

gost_crl ca_inter inter.key inter.pem inter.crl '-1 day' '+30 days'
gost_crl ca_inter inter.key inter.pem inter-expired.crl '-10 days' '-3 days'
gost_crl ca_forged forged.key inter-forged.pem inter-forged.crl '-1 hour' '+30 days'
gost_crl ca_root root.key root.pem root.crl '-1 day' '+30 days'

[[ $paths == paths ]] || exit 0
for k in notary noks-ca noks-user nocrl-ca nocrl-user pl0-ca pl0-sub pl0-user v1-root v1-user kenc kcs eku weak-sha1 weak-rsa; do
  openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out $k.key 2>/dev/null
done
gost_issue ca_user user.key user.pem notary "/C=RU/CN=Chain Notary" v3_notary '-1 day' '+365 days'
gost_crl ca_user user.key user.pem user.crl '-1 day' '+30 days'
gost_issue ca_root root.key root.pem noks-ca "/C=RU/O=Chain PKI/CN=No CertSign CA" v3_noks '-20 days' '+3000 days'
gost_issue ca_noks noks-ca.key noks-ca.pem noks-user "/C=RU/CN=No CertSign User" v3_user '-1 day' '+365 days'
gost_issue ca_root root.key root.pem nocrl-ca "/C=RU/O=Chain PKI/CN=No CrlSign CA" v3_nocrl '-20 days' \
  '+3000 days'
gost_issue ca_nocrl nocrl-ca.key nocrl-ca.pem nocrl-user "/C=RU/CN=No CrlSign User" v3_user '-1 day' '+365 days'
gost_crl ca_nocrl nocrl-ca.key nocrl-ca.pem nocrl-ca.crl '-1 day' '+30 days'
gost_issue ca_root root.key root.pem pl0-ca "/C=RU/O=Chain PKI/CN=PathLen0 CA" v3_pl0 '-20 days' '+3000 days'
gost_issue ca_pl0 pl0-ca.key pl0-ca.pem pl0-sub "/C=RU/O=Chain PKI/CN=PathLen0 Sub CA" v3_root '-20 days' \
  '+3000 days'
gost_issue ca_pl0sub pl0-sub.key pl0-sub.pem pl0-user "/C=RU/CN=PathLen0 User" v3_user '-1 day' '+365 days'
# A version 1 certificate: openssl x509 -req without extensions.
openssl req -new -key v1-root.key -md_gost12_256 -subj "/C=RU/CN=V1 Root" -out v1-root.csr
openssl x509 -req -in v1-root.csr -signkey v1-root.key -md_gost12_256 -days 3650 -out v1-root.pem 2>/dev/null
openssl x509 -in v1-root.pem -outform DER -out v1-root.cer
gost_issue ca_v1 v1-root.key v1-root.pem v1-user "/C=RU/CN=V1 User" v3_user '-1 day' '+365 days'
gost_issue ca_inter inter.key inter.pem kenc "/C=RU/CN=KeyEncipherment User" v3_kenc '-1 day' '+365 days'
gost_issue ca_inter inter.key inter.pem kcs "/C=RU/CN=KeyCertSign User" v3_kcs '-1 day' '+365 days'
gost_issue ca_inter inter.key inter.pem eku "/C=RU/CN=ServerAuth User" v3_eku '-1 day' '+365 days'
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out weak-root.key 2>/dev/null
openssl req -new -x509 -key weak-root.key -sha256 -days 3650 -subj "/C=RU/CN=Weak Root" -extensions v3_root \
  -out weak-root.pem
openssl x509 -in weak-root.pem -outform DER -out weak-root.cer
for w in sha1 rsa; do
  md=sha256
  [[ $w == sha1 ]] && md=sha1
  openssl req -new -key weak-$w.key -md_gost12_256 -subj "/C=RU/CN=Weak $w User" -out weak-$w.csr
  openssl x509 -req -in weak-$w.csr -CA weak-root.pem -CAkey weak-root.key -set_serial 0x$RANDOM -$md -days 365 \
    -extfile openssl.cnf -extensions v3_user -out weak-$w.pem 2>/dev/null
  openssl x509 -in weak-$w.pem -outform DER -out weak-$w.cer
done
