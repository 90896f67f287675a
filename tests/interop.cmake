# Interop with real peers (the system gzip, Python's gzip and zlib modules) and the example
# pipe program run end to end.
wrenfold_test(interop-test)

if(TARGET wrenfold-pipe)
  wrenfold_test(interop-pipe-test)
  target_compile_definitions(interop-pipe-test PRIVATE
    WRENFOLD_PIPE="$<TARGET_FILE:wrenfold-pipe>")
  add_dependencies(interop-pipe-test wrenfold-pipe)
endif()
