# Run as a script: writes OUTPUT (a .cpp) holding each file named in FILES
# ("symbol=path" entries separated by '|') as a constant byte array with
# its length, declared in EmbeddedImages.h. Runs at build time so the arrays
# always match the committed pictures.
if(NOT DEFINED OUTPUT OR NOT DEFINED FILES)
    message(FATAL_ERROR "EmbedFiles.cmake needs OUTPUT and FILES")
endif()

set(body "// Generated at build time from the PNG files in resources/; do not edit.\n")
string(APPEND body "#include \"EmbeddedImages.h\"\n\nnamespace EmbeddedImages\n{\n")

string(REPLACE "|" ";" entries "${FILES}")

foreach(entry IN LISTS entries)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 symbol)
    list(GET pair 1 path)

    file(READ "${path}" hex HEX)
    file(SIZE "${path}" size)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")

    string(APPEND body "    const unsigned char ${symbol}[] = {\n    ${bytes}\n    };\n")
    string(APPEND body "    const int ${symbol}Size = ${size};\n\n")
endforeach()

string(APPEND body "}\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
