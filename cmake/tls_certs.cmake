# The certificates of the TLS tests and the benchmark, made in the build tree
# with the openssl command (tests/tls/make_certs.sh says which). Target
# kel_tls_certs; KEL_TLS_CERT_DIR is where they are.
find_program(KEL_OPENSSL openssl REQUIRED)
find_program(KEL_BASH bash REQUIRED)
set(KEL_TLS_CERT_DIR ${CMAKE_BINARY_DIR}/tls-certs)
set(kel_tls_cert_files)
foreach(name ca other-ca server expired other-name self-signed sweep-ca sweep-server)
  list(APPEND kel_tls_cert_files ${KEL_TLS_CERT_DIR}/${name}.pem)
endforeach()
add_custom_command(OUTPUT ${kel_tls_cert_files}
  COMMAND ${CMAKE_COMMAND} -E env OPENSSL=${KEL_OPENSSL} ${KEL_BASH} ${PROJECT_SOURCE_DIR}/tests/tls/make_certs.sh ${KEL_TLS_CERT_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/tests/tls/make_certs.sh
  COMMENT "Making the TLS test certificates")
add_custom_target(kel_tls_certs ALL DEPENDS ${kel_tls_cert_files})
