target_sources(dovelcore PRIVATE
  app/backend_list.cpp
  app/console_keys.cpp
  app/download_mode.cpp
  app/download_together.cpp
  app/exit_prompt.cpp
  app/file_check.cpp
  app/startup.cpp
  app/update_summary.cpp
  app/usage.cpp
  app/update_walks.cpp)
if(WIN32)
  target_sources(dovelcore PRIVATE app/console_windows.cpp)
else()
  target_sources(dovelcore PRIVATE app/console_posix.cpp)
endif()
