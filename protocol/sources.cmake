target_sources(dovelcore PRIVATE
  protocol/access_code.cpp
  protocol/property.cpp
  protocol/role.cpp)
