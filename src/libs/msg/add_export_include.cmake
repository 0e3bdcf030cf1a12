# cmake -DHEADER=<file.pb.h> -P add_export_include.cmake
# protoc names the export macro of dllexport_decl but includes nothing that defines it: the
# library's export header goes in at the generated header's include insertion point.
file(READ ${HEADER} text)
set(point "// @@protoc_insertion_point(includes)")
string(FIND "${text}" "${point}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${HEADER}: no include insertion point")
endif()
string(REPLACE "${point}" "#include \"xmsg/xmsg_export.h\"\n${point}" text "${text}")
file(WRITE ${HEADER} "${text}")
