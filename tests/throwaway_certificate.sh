# A throwaway root and the code-signing certificate it issues (RSA 2048, extended key usage
# codeSigning), valid for two days: DIR/root.pem and root.key, DIR/signer.pem and signer.key.
# Sourced, not run. Usage: throwaway_certificate DIR NAME (NAME goes into both subjects).
throwaway_certificate() {
    local dir=$1 name=$2
    mkdir -p "$dir"
    printf '%s\n' '[signer]' 'basicConstraints = critical, CA:FALSE' \
        'keyUsage = critical, digitalSignature' 'extendedKeyUsage = codeSigning' \
        'subjectKeyIdentifier = hash' 'authorityKeyIdentifier = keyid' >"$dir/signer.cnf"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/root.key" -out "$dir/root.pem" \
        -days 2 -subj "/CN=$name root" -addext 'basicConstraints=critical,CA:TRUE' \
        -addext 'keyUsage=critical,keyCertSign' &&
        openssl req -newkey rsa:2048 -nodes -keyout "$dir/signer.key" -out "$dir/signer.csr" \
            -subj "/CN=$name signer" &&
        openssl x509 -req -in "$dir/signer.csr" -CA "$dir/root.pem" -CAkey "$dir/root.key" \
            -CAcreateserial -days 2 -extfile "$dir/signer.cnf" -extensions signer \
            -out "$dir/signer.pem"
}
