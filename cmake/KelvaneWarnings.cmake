# Warnings every build shows. -Werror only on request (KELVANE_WERROR): a newer compiler on a
# user's machine must not break the build over a new warning.
# -Wshadow: a local hiding a member or parameter is a real fault waiting to happen, and the code
# has none. -Wconversion stays off until the engines' byte arithmetic is cast explicitly.
add_compile_options(-Wall -Wextra -Wshadow)
if(KELVANE_WERROR)
  add_compile_options(-Werror)
endif()
