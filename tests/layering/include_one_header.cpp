// Compiled only by the layering checks (tests/layering/CMakeLists.txt): one
// include, chosen by the check, against the include directories of one library.
#include FAZORN_LAYERING_HEADER
