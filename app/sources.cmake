target_sources(dovelcore PRIVATE
  app/backend_list.cpp
  app/console_keys.cpp
  app/download_mode.cpp
  app/dovel_ids.cpp
  app/download_together.cpp
  app/exit_prompt.cpp
  app/expected_version.cpp
  app/file_check.cpp
  app/input_files.cpp
  app/output_files.cpp
  app/run_settings.cpp
  app/json_writer.cpp
  app/run_record.cpp
  app/startup.cpp
  app/update_summary.cpp
  app/usage.cpp
  app/update_walks.cpp)
if(WIN32)
  target_sources(dovelcore PRIVATE app/console_windows.cpp app/run_record_windows.cpp)
else()
  target_sources(dovelcore PRIVATE app/console_posix.cpp app/run_record_posix.cpp)
endif()
