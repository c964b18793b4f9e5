# The payload the program is built around, checked: DUNEHOPPER_PAYLOAD where it
# is defined, else the one line of the file payload at the top of the tree.
# CMakeLists.txt includes this; debian/rules runs it (cmake -P) before the
# source package is packed, so that a refused payload never makes one.
get_filename_component(payload_file "${CMAKE_CURRENT_LIST_DIR}/../payload" ABSOLUTE)
if(DEFINED DUNEHOPPER_PAYLOAD)
  set(payload_origin "DUNEHOPPER_PAYLOAD")
elseif(EXISTS "${payload_file}")
  set(payload_origin "The file ${payload_file}")
  file(READ "${payload_file}" DUNEHOPPER_PAYLOAD)
  string(REGEX REPLACE "\n$" "" DUNEHOPPER_PAYLOAD "${DUNEHOPPER_PAYLOAD}")
else()
  message(FATAL_ERROR "There is no file ${payload_file}: write one with "
                      "tools/make-payload KEY MESSAGE > payload")
endif()

# A wrong payload would build a program that reveals nothing, so stop here and
# say why. 64 base64 characters are 48 bytes, "Salted__", salt and two blocks.
# The eight bytes "Salted__" are exactly the first ten characters "U2FsdGVkX1"
# plus the top four bits of the eleventh: one of 8, 9, + or /.
string(LENGTH "${DUNEHOPPER_PAYLOAD}" payload_length)
if(NOT payload_length EQUAL 64)
  message(FATAL_ERROR "${payload_origin} is ${payload_length} characters; it must be exactly 64 "
                      "(48 bytes of salted ciphertext in base64, as tools/make-payload prints)")
elseif(DUNEHOPPER_PAYLOAD MATCHES "=")
  message(FATAL_ERROR "${payload_origin} holds \"=\" padding, which 48 bytes in base64 never need")
elseif(NOT DUNEHOPPER_PAYLOAD MATCHES "^[A-Za-z0-9+/]+$")
  message(FATAL_ERROR "${payload_origin} holds a character outside the base64 alphabet "
                      "(A-Z a-z 0-9 + /, on one line)")
elseif(NOT DUNEHOPPER_PAYLOAD MATCHES "^U2FsdGVkX1[89+/]")
  message(FATAL_ERROR "${payload_origin} does not decode to \"Salted__\" and a salt: "
                      "it is not openssl's salted format (encrypt with -pbkdf2 and a pass phrase)")
endif()
