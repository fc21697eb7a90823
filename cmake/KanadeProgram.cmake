# The patcher's executable: kanade on Linux, kanade.exe on Windows.
add_executable(kanade src/app/main.cpp)
target_link_libraries(kanade PRIVATE kanade_core)
