# The committed fuzz corpus replayed as ordinary tests, with the suite's compiler and
# sanitizers: one replay program and one CTest per fuzz target.
include(${PROJECT_SOURCE_DIR}/fuzz/code.cmake)
add_library(qv_fuzz_replay_code OBJECT ${QV_FUZZ_CODE} ${PROJECT_SOURCE_DIR}/fuzz/replay.cpp)
target_include_directories(qv_fuzz_replay_code PUBLIC ${PROJECT_SOURCE_DIR})
target_include_directories(qv_fuzz_replay_code SYSTEM PUBLIC ${QV_DIVSUFSORT_INCLUDE})
target_link_libraries(qv_fuzz_replay_code PUBLIC ${QV_FUZZ_LIBRARIES})
qv_setup_target(qv_fuzz_replay_code)
foreach(target ${QV_FUZZ_TARGETS})
  add_executable(replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/${target}_target.cpp)
  target_link_libraries(replay_${target} PRIVATE qv_fuzz_replay_code)
  qv_setup_target(replay_${target})
  add_test(NAME fuzz.replay.${target}
           COMMAND replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${target})
endforeach()
