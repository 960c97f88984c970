# What every build of corvel shares: the C++ standard and the engine's
# sources. Included by the top CMakeLists.txt and by fuzz/CMakeLists.txt.

# C++23 as g++ 12 and clang 14 have it; the engine uses
# std::string::resize_and_overwrite, so there is no older standard to fall
# back to.
set(CMAKE_CXX_STANDARD 23)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

set(CORVEL_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

# Listed, not globbed: a new file is a deliberate change to the build.
set(CORVEL_ENGINE_SOURCES
    ${CORVEL_ROOT}/engine/arrow.cpp
    ${CORVEL_ROOT}/engine/batches.cpp
    ${CORVEL_ROOT}/engine/decode.cpp
    ${CORVEL_ROOT}/engine/detect.cpp
    ${CORVEL_ROOT}/engine/error.cpp
    ${CORVEL_ROOT}/engine/file_io.cpp
    ${CORVEL_ROOT}/engine/heuristics.cpp
    ${CORVEL_ROOT}/engine/infer.cpp
    ${CORVEL_ROOT}/engine/parser.cpp
    ${CORVEL_ROOT}/engine/pipeline.cpp
    ${CORVEL_ROOT}/engine/quoted.cpp
    ${CORVEL_ROOT}/engine/records.cpp
    ${CORVEL_ROOT}/engine/rescue.cpp
    ${CORVEL_ROOT}/engine/rows.cpp
    ${CORVEL_ROOT}/engine/salvage.cpp
    ${CORVEL_ROOT}/engine/salvager.cpp
    ${CORVEL_ROOT}/engine/sinks.cpp
    ${CORVEL_ROOT}/engine/split.cpp
    ${CORVEL_ROOT}/engine/target.cpp
    ${CORVEL_ROOT}/engine/writer.cpp)
