# Robustness: coders in many threads at once (run it under -DWRENFOLD_SANITIZE=thread too),
# hostile input, sizes past zlib's 32-bit fields, a decompression bomb, and the library's
# dynamic surface.
wrenfold_test(thread-stress-test)
wrenfold_test(hostile-input-test)
wrenfold_test(huge-sizes-test)

# Decoding GiBs of zeros through 64 KiB buffers must keep the peak RSS small.
add_executable(bomb-driver bomb/bomb-driver.cpp)
target_link_libraries(bomb-driver PRIVATE wrenfold::zlib)
wrenfold_warnings(bomb-driver)
add_test(NAME hardening.bomb_peak_rss
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/bomb/bomb-rss.sh $<TARGET_FILE:bomb-driver> 4096 65536)
set_tests_properties(hardening.bomb_peak_rss PROPERTIES TIMEOUT 300)
# decompress() with max_output 64 MiB refuses the same bomb; growing its output by doubling holds
# at most one and a half times the limit for a moment, plus the compressed input.
add_test(NAME hardening.bomb_decompress_peak_rss
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/bomb/bomb-rss.sh $<TARGET_FILE:bomb-driver> 4096 131072 64)
set_tests_properties(hardening.bomb_decompress_peak_rss PROPERTIES TIMEOUT 300)

foreach(check IN ITEMS symbols soname interposable)
  add_test(NAME hardening.exported_surface.${check}
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/exported-surface.sh ${check}
            $<TARGET_FILE:wrenfold_zlib>)
  set_tests_properties(hardening.exported_surface.${check} PROPERTIES
    ENVIRONMENT "NM=${CMAKE_NM};READELF=${CMAKE_READELF}")
endforeach()
