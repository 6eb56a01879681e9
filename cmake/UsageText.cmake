# vandrel_usage_text(TARGET SOURCE HEADER): turns the usage text file SOURCE
# into the header HEADER (relative to the target's generated include
# directory), so the program prints the very bytes the tests read from SOURCE.
function(vandrel_usage_text target source header)
  file(READ ${source} USAGE_TEXT)
  file(RELATIVE_PATH USAGE_SOURCE ${PROJECT_SOURCE_DIR} ${source})
  set(generated_dir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/UsageText.hpp.in ${generated_dir}/${header} @ONLY)
  # Editing the text reruns the configure step, which regenerates the header.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  target_include_directories(${target} PRIVATE ${generated_dir})
endfunction()
