# The code every fuzz target links: the format and the engine's sources as the program
# builds them, and the model.
get_target_property(qv_fuzz_engine qv_engine SOURCES)
get_target_property(qv_fuzz_format qv_format SOURCES)
list(APPEND qv_fuzz_engine ${qv_fuzz_format})
list(TRANSFORM qv_fuzz_engine PREPEND ${PROJECT_SOURCE_DIR}/)
set(QV_FUZZ_CODE ${qv_fuzz_engine} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_support.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/reference.cpp)
set(QV_FUZZ_TARGETS trailer decode apply)
