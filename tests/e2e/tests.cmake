# Started by the launcher test (tests/upgrade): a program that waits for the
# one that started it to end.
add_executable(kanade_starter_probe ${CMAKE_CURRENT_LIST_DIR}/starter_probe.cpp)
target_link_libraries(kanade_starter_probe PRIVATE kanade_upgrade)
if(TARGET kanade_tests_upgrade)
  add_dependencies(kanade_tests_upgrade kanade_starter_probe)
endif()

# Real-window tests: a probe program on the FLTK backend, driven under its
# own Xvfb by a script that clicks, types and photographs the window. They
# run alone: keys and repaints are timed, and a busy machine makes them miss.
if(TARGET kanade_fltk)
  add_executable(kanade_fltk_probe ${CMAKE_CURRENT_LIST_DIR}/fltk_window_probe.cpp)
  target_link_libraries(kanade_fltk_probe PRIVATE kanade_app kanade_fltk)
  add_test(NAME e2e.fltk_window
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/fltk_window_test.py
                   $<TARGET_FILE:kanade_fltk_probe>)
  set_tests_properties(e2e.fltk_window PROPERTIES LABELS e2e TIMEOUT 120 RUN_SERIAL TRUE)

  # The whole program in a real window against nginx: kanade-repo publishes,
  # kanade runs in sandboxes, the probe sends close requests. Build what it
  # runs with the target kanade_e2e.
  if(TARGET kanade AND TARGET kanade-repo)
    add_custom_target(kanade_e2e)
    add_dependencies(kanade_e2e kanade kanade-repo kanade_fltk_probe)
    add_test(NAME e2e.patcher
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/patcher_test.py
                     $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>
                     $<TARGET_FILE:kanade_fltk_probe>)
    set_tests_properties(e2e.patcher PROPERTIES LABELS e2e TIMEOUT 180 RUN_SERIAL TRUE
                         ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
  endif()
endif()

# The self-upgrade through three real process generations against nginx
# (build kanade and kanade-repo first).
if(TARGET kanade AND TARGET kanade-repo)
  add_test(NAME e2e.self_upgrade
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/self_upgrade_test.py
                   $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>)
  set_tests_properties(e2e.self_upgrade PROPERTIES LABELS e2e TIMEOUT 90
                       ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
endif()

# Releases published with kanade-repo publish reach the real patcher: whole,
# one changed module fetched alone, and a release published mid-download.
if(TARGET kanade AND TARGET kanade-repo)
  add_test(NAME e2e.publish
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/publish_test.py
                   $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>)
  set_tests_properties(e2e.publish PROPERTIES LABELS e2e TIMEOUT 180
                       ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
endif()

# The real patcher against a repository server that attacks it: forged and
# replayed repositories, redirects to http, endless and dripping bodies,
# links and device names in module paths, a download killed half-way.
if(TARGET kanade AND TARGET kanade-repo)
  add_test(NAME e2e.hostile_server
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/hostile_server_test.py
                   $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>)
  set_tests_properties(e2e.hostile_server PROPERTIES LABELS e2e TIMEOUT 300
                       ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
endif()

# The deployed nginx site as the demo server renders it, checked with curl.
add_test(NAME e2e.nginx_site COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/nginx_site_test.sh)
set_tests_properties(e2e.nginx_site PROPERTIES LABELS e2e TIMEOUT 60)

# What the real patcher says at the end of a run and why: the closing-line
# table, withdrawn files, the game still running, a connection cut mid-run,
# a silent server. The FLTK probe sends its close requests.
if(TARGET kanade AND TARGET kanade-repo AND TARGET kanade_fltk_probe)
  add_test(NAME e2e.outcomes
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/outcomes_test.py
                   $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>
                   $<TARGET_FILE:kanade_fltk_probe>)
  set_tests_properties(e2e.outcomes PROPERTIES LABELS e2e TIMEOUT 300
                       ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
endif()

# The caches in front of the origin (the nginx edge, Varnish behind hitch,
# Squid), the real patcher through each: bodies stored once, 304s from the
# cache, a new release seen at once, the .gz copy and the plain file kept
# apart whatever Via says, a miss not kept; and each as it comes failing.
if(TARGET kanade AND TARGET kanade-repo)
  add_test(NAME e2e.edge
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/edge_test.py
                   $<TARGET_FILE:kanade> $<TARGET_FILE:kanade-repo>)
  set_tests_properties(e2e.edge PROPERTIES LABELS e2e TIMEOUT 300
                       ENVIRONMENT "KANADE_SECRET_KEY=${KANADE_TEST_SECRET_KEY}")
endif()
