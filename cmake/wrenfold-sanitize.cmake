# WRENFOLD_SANITIZE=address,undefined (or thread) instruments every target of the build; keep
# such builds in their own build directory.
if(WRENFOLD_SANITIZE)
  add_compile_options(-fsanitize=${WRENFOLD_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${WRENFOLD_SANITIZE})
endif()
