# The code every fuzz target links: the engine's sources as the program builds them, the
# model and the console stand-ins, which replace frontend/console.cpp.
get_target_property(qv_fuzz_engine qv_core SOURCES)
list(FILTER qv_fuzz_engine INCLUDE REGEX "^engine/")
list(TRANSFORM qv_fuzz_engine PREPEND ${PROJECT_SOURCE_DIR}/)
set(QV_FUZZ_CODE ${qv_fuzz_engine} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_support.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/reference.cpp)
set(QV_FUZZ_TARGETS trailer decode apply)
