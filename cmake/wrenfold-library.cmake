# wrenfold_engine_library(TARGET EXPORT_NAME): the settings every library beside libwrenfold_zlib
# shares. Versioned as the project, only the wrenfold namespaces exported, no undefined symbols,
# calls inside the library bound to its own definitions, and once installed it finds
# libwrenfold_zlib beside itself, wherever the tree moves.
function(wrenfold_engine_library target export_name)
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${export_name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${wrenfold_symbol_map}
    INSTALL_RPATH "\$ORIGIN")
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${wrenfold_symbol_map}" "LINKER:--no-undefined")
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  wrenfold_warnings(${target})
endfunction()
