# Trust material. Without QLT_SERVER_CA a throw-away development PKI is generated into the
# build tree: a CA and a server certificate for localhost and 127.0.0.1 signed by it. The
# development server and the tests use it; no private key ever leaves the build tree.
set(QLT_PKI_DIR "${CMAKE_BINARY_DIR}/pki")

function(_qlt_openssl)
  execute_process(COMMAND openssl ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

# Generates, in DIR, ca.pem/ca.key and server.pem/server.key for SUBJECT_ALT_NAMES.
function(qlt_generate_pki dir cn alt_names)
  if(EXISTS "${dir}/server.pem" AND EXISTS "${dir}/ca.pem")
    return()
  endif()
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/server.ext"
      "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
      "extendedKeyUsage=serverAuth\nsubjectAltName=${alt_names}\n")
  _qlt_openssl(req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=${cn} CA"
      -keyout "${dir}/ca.key" -out "${dir}/ca.pem"
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign")
  _qlt_openssl(req -newkey rsa:2048 -nodes -subj "/CN=${cn}"
      -keyout "${dir}/server.key" -out "${dir}/server.csr")
  _qlt_openssl(x509 -req -in "${dir}/server.csr" -CA "${dir}/ca.pem" -CAkey "${dir}/ca.key"
      -CAcreateserial -days 3650 -out "${dir}/server.pem" -extfile "${dir}/server.ext")
  file(CHMOD "${dir}/ca.key" "${dir}/server.key" PERMISSIONS OWNER_READ OWNER_WRITE)
endfunction()

# A server certificate signed by the CA in DIR for other names (tests of host-name checks).
function(qlt_generate_server_cert dir name alt_names)
  if(EXISTS "${dir}/${name}.pem")
    return()
  endif()
  file(WRITE "${dir}/${name}.ext"
      "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
      "extendedKeyUsage=serverAuth\nsubjectAltName=${alt_names}\n")
  _qlt_openssl(req -newkey rsa:2048 -nodes -subj "/CN=${name}"
      -keyout "${dir}/${name}.key" -out "${dir}/${name}.csr")
  _qlt_openssl(x509 -req -in "${dir}/${name}.csr" -CA "${dir}/ca.pem" -CAkey "${dir}/ca.key"
      -CAcreateserial -days 3650 -out "${dir}/${name}.pem" -extfile "${dir}/${name}.ext")
endfunction()

qlt_generate_pki("${QLT_PKI_DIR}" "qlt-dev" "DNS:localhost,IP:127.0.0.1,IP:::1")
# For the tests: a certificate of the right CA for a name the client never dials, and a
# complete PKI of a CA the client does not trust.
qlt_generate_server_cert("${QLT_PKI_DIR}" "wronghost" "DNS:wrong-host.invalid")
qlt_generate_pki("${QLT_PKI_DIR}/untrusted" "qlt-untrusted" "DNS:localhost,IP:127.0.0.1,IP:::1")

if(QLT_SERVER_CA)
  set(QLT_TRUSTED_CA "${QLT_SERVER_CA}")
else()
  set(QLT_TRUSTED_CA "${QLT_PKI_DIR}/ca.pem")
endif()
message(STATUS "Trusted server CA: ${QLT_TRUSTED_CA}")
