# The client's layers and what each may include. Run at configure time and, as
# `cmake -DTARNIX_SRC=<dir> -P check_layers.cmake`, before every build: a file
# that includes from a layer above its own (or from a feature beside it) stops
# the build. Layers, lowest first:
#   platform  -> ui (with shadow under it) -> features -> app
# The features (protocol, handshake, account, update) see the layers below and
# protocol; none sees another's files. Of app/ they see only the application-wide
# state and the version constants.
cmake_policy(VERSION 3.25)
set(TARNIX_LAYER_ALLOWED_platform "platform")
set(TARNIX_LAYER_ALLOWED_shadow "platform;shadow")
set(TARNIX_LAYER_ALLOWED_ui "platform;shadow;ui")
set(TARNIX_LAYER_ALLOWED_protocol "platform;protocol")
set(TARNIX_LAYER_ALLOWED_handshake "platform;shadow;ui;protocol;handshake")
set(TARNIX_LAYER_ALLOWED_account "platform;shadow;ui;protocol;account")
set(TARNIX_LAYER_ALLOWED_update "platform;shadow;ui;protocol;update")
set(TARNIX_LAYER_ALLOWED_app "platform;shadow;ui;protocol;handshake;account;update;app")
set(TARNIX_FEATURE_MAY_INCLUDE "app/app_state.h;app/version.h;app/version_info.h")

function(tarnix_check_layers src_dir)
  file(GLOB_RECURSE files RELATIVE ${src_dir} ${src_dir}/*.cpp ${src_dir}/*.h)
  set(errors "")
  foreach(rel ${files})
    string(REGEX MATCH "^[^/]+" layer "${rel}")
    if(NOT DEFINED TARNIX_LAYER_ALLOWED_${layer})
      string(APPEND errors "  ${rel}: folder '${layer}' is in no layer\n")
      continue()
    endif()
    file(STRINGS ${src_dir}/${rel} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" inc "${line}")
      if(NOT inc MATCHES "/" OR inc MATCHES "^\\.\\./\\.\\./res/")
        continue() # generated build_config.h, or the resource ids
      endif()
      string(REGEX MATCH "^[^/]+" target "${inc}")
      if(target IN_LIST TARNIX_LAYER_ALLOWED_${layer})
        continue()
      endif()
      if(NOT layer STREQUAL "app" AND inc IN_LIST TARNIX_FEATURE_MAY_INCLUDE
         AND NOT layer MATCHES "^(platform|shadow|ui|protocol)$")
        continue()
      endif()
      string(APPEND errors "  ${rel} includes ${inc}: '${layer}' may not see '${target}'\n")
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Include against the layers:\n${errors}")
  endif()
endfunction()

# The account server's layers, lowest first; each may see those listed for it:
#   base -> http, store -> mail -> protocol, web -> ops -> app
# http never sees store, protocol and web never see each other, and of the store's
# backends (store/sqlite, store/postgres) none sees another. Every include of the
# server names its folder, so none escapes the check.
set(TARNIX_SERVER_ALLOWED_base "base")
set(TARNIX_SERVER_ALLOWED_http "base;http")
set(TARNIX_SERVER_ALLOWED_store "base;store")
set(TARNIX_SERVER_ALLOWED_mail "base;http;store;mail")
set(TARNIX_SERVER_ALLOWED_protocol "base;http;store;mail;protocol")
set(TARNIX_SERVER_ALLOWED_web "base;http;store;mail;web")
set(TARNIX_SERVER_ALLOWED_ops "base;http;store;mail;protocol;web;ops")
set(TARNIX_SERVER_ALLOWED_app "base;http;store;mail;protocol;web;ops;app")
set(TARNIX_SERVER_BACKENDS "store/sqlite;store/postgres")

function(tarnix_check_server_layers src_dir)
  file(GLOB_RECURSE files RELATIVE ${src_dir} ${src_dir}/*.cpp ${src_dir}/*.h)
  set(errors "")
  foreach(rel ${files})
    string(REGEX MATCH "^[^/]+" layer "${rel}")
    if(NOT rel MATCHES "/" OR NOT DEFINED TARNIX_SERVER_ALLOWED_${layer})
      string(APPEND errors "  ${rel}: folder '${layer}' is in no layer\n")
      continue()
    endif()
    string(REGEX MATCH "^store/[^/]+" backend "${rel}")
    file(STRINGS ${src_dir}/${rel} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" inc "${line}")
      if(NOT inc MATCHES "/")
        string(APPEND errors "  ${rel} includes ${inc}: an include names its folder\n")
        continue()
      endif()
      string(REGEX MATCH "^[^/]+" target "${inc}")
      string(REGEX MATCH "^store/[^/]+" target_backend "${inc}")
      if(NOT target IN_LIST TARNIX_SERVER_ALLOWED_${layer})
        string(APPEND errors "  ${rel} includes ${inc}: '${layer}' may not see '${target}'\n")
      elseif(target_backend IN_LIST TARNIX_SERVER_BACKENDS AND
             NOT target_backend STREQUAL backend AND NOT rel STREQUAL "store/store.cpp")
        string(APPEND errors "  ${rel} includes ${inc}: only its own backend and the opener see it\n")
      endif()
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Include against the server's layers:\n${errors}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND TARNIX_SRC)
  tarnix_check_layers(${TARNIX_SRC})
endif()
if(CMAKE_SCRIPT_MODE_FILE AND TARNIX_SERVER_SRC)
  tarnix_check_server_layers(${TARNIX_SERVER_SRC})
endif()
