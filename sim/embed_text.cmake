# Writes a C++ source that holds a text file as a string, at build time:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAMESPACE=ns -DSYMBOL=name -P embed_text.cmake
# One trailing newline of the file is dropped, so the string is the text
# itself. The output is rewritten only when it changes.
foreach(v INPUT OUTPUT NAMESPACE SYMBOL)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "embed_text.cmake needs -D${v}=...")
  endif()
endforeach()

file(READ ${INPUT} text)
string(REGEX REPLACE "\r?\n$" "" text "${text}")
set(delimiter "embedded")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string delimiter ')${delimiter}\"'")
endif()
get_filename_component(source_name ${INPUT} NAME)
set(source "// Generated at build time from ${source_name} by embed_text.cmake: edit that file.
namespace ${NAMESPACE} {
extern const char ${SYMBOL}[];
const char ${SYMBOL}[] = R\"${delimiter}(${text})${delimiter}\";
}  // namespace ${NAMESPACE}
")
file(CONFIGURE OUTPUT ${OUTPUT} CONTENT "${source}" @ONLY)
