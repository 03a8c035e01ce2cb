target_sources(dovelcore PRIVATE
  protocol/access_code.cpp
  protocol/access_code_mask.cpp
  protocol/dovel_check.cpp
  protocol/property.cpp
  protocol/role.cpp)
