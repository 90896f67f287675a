# The installed package, used by a client through find_package and through pkg-config. The
# consumer is an ordinary uninstrumented program, so sanitizer builds leave this test out.
if(NOT WRENFOLD_SANITIZE)
  add_test(NAME packaging.install_and_consume
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/check.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER})
  set_tests_properties(packaging.install_and_consume PROPERTIES TIMEOUT 300)
endif()
