# Writes a C++ source defining one function per asset that returns the file's
# bytes. Run as: cmake -DOUTPUT=file.cpp -DASSETS="name=path;..." -P embed.cmake
set(text "// Generated from the report's asset files; do not edit.\n")
string(APPEND text "#include \"report_assets.hpp\"\n\nnamespace zuno::results {\n")
foreach(asset IN LISTS ASSETS)
    string(REPLACE "=" ";" parts "${asset}")
    list(GET parts 0 name)
    list(GET parts 1 path)
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
    string(APPEND text "\nstd::string_view ${name}() {\n"
        "    static constexpr char BYTES[] = {\n${bytes}'\\0'};\n"
        "    return {BYTES, ${size}};\n}\n")
endforeach()
string(APPEND text "\n}  // namespace zuno::results\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
