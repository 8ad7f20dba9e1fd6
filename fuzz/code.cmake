# The code every fuzz target links: the format, the engine's and the creator's sources as
# the programs build them, and the model.
get_target_property(qv_fuzz_engine qv_engine SOURCES)
get_target_property(qv_fuzz_format qv_format SOURCES)
list(APPEND qv_fuzz_engine ${qv_fuzz_format})
list(TRANSFORM qv_fuzz_engine PREPEND ${PROJECT_SOURCE_DIR}/)
set(QV_FUZZ_CODE ${qv_fuzz_engine} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_support.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/reference.cpp)
set(QV_FUZZ_TARGETS trailer decode apply)
# The creator's round trip, where libdivsufsort is found.
if(TARGET qv_diff)
  get_target_property(qv_fuzz_diff qv_diff SOURCES)
  list(TRANSFORM qv_fuzz_diff PREPEND ${PROJECT_SOURCE_DIR}/)
  list(APPEND QV_FUZZ_CODE ${qv_fuzz_diff})
  list(APPEND QV_FUZZ_TARGETS diff)
  find_package(Threads REQUIRED)
  set(QV_FUZZ_LIBRARIES ${QV_DIVSUFSORT_LIBRARY} Threads::Threads)
endif()
