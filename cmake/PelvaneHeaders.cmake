# Each component target exports only its own headers. They are written with the
# layer's folder in front ("session/session.h"), so every target gets a folder
# of its own in the build tree that holds links to its headers under that name,
# and nothing else:
#
#   <build>/include/<target>/session/session.h -> <source>/src/session/session.h
#
# A target sees the folders of the targets it links (target_link_libraries), so
# a header of a layer it does not link, above all an upper one, is not found and
# the build stops there.
#
# pelvane_export_headers(<target> [ROOT <folder>] [FOLDERS <folder>...]
#                        [FILES <header>...] [PRIVATE <header>...])
#   ROOT     where the include names start (default: src)
#   FOLDERS  every *.h in these folders (relative to ROOT) that no target
#            before it has named under FILES
#   FILES    single headers (relative to ROOT): in a folder shared by several
#            targets, the others name theirs before the one that takes the rest
#   PRIVATE  headers (among the above) that only the target itself and its
#            tests see (pelvane_add_test adds them for the targets it links)
function(pelvane_export_headers target)
  cmake_parse_arguments(ARG "" "ROOT" "FOLDERS;FILES;PRIVATE" ${ARGN})
  if(NOT ARG_ROOT)
    set(ARG_ROOT src)
  endif()
  set(root ${PROJECT_SOURCE_DIR}/${ARG_ROOT})
  set(public_dir ${PROJECT_BINARY_DIR}/include/${target})
  set(private_dir ${PROJECT_BINARY_DIR}/include-private/${target})
  # Made afresh on every configure, so a header that was moved or removed
  # does not stay visible through an old link.
  file(REMOVE_RECURSE ${public_dir} ${private_dir})

  get_property(claimed GLOBAL PROPERTY PELVANE_CLAIMED_HEADERS)
  set(headers ${ARG_FILES})
  foreach(header IN LISTS ARG_FILES)
    if(${ARG_ROOT}/${header} IN_LIST claimed)
      message(FATAL_ERROR "${target}: ${ARG_ROOT}/${header} belongs to another target")
    endif()
  endforeach()
  foreach(folder IN LISTS ARG_FOLDERS)
    if(NOT IS_DIRECTORY ${root}/${folder})
      message(FATAL_ERROR "${target}: no folder ${ARG_ROOT}/${folder}")
    endif()
    file(GLOB found CONFIGURE_DEPENDS RELATIVE ${root} ${root}/${folder}/*.h)
    foreach(header IN LISTS found)
      if(NOT ${ARG_ROOT}/${header} IN_LIST claimed)
        list(APPEND headers ${header})
      endif()
    endforeach()
  endforeach()
  foreach(header IN LISTS headers)
    set_property(GLOBAL APPEND PROPERTY PELVANE_CLAIMED_HEADERS ${ARG_ROOT}/${header})
  endforeach()
  foreach(header IN LISTS ARG_PRIVATE)
    if(NOT header IN_LIST headers)
      message(FATAL_ERROR "${target}: private header ${header} is not one of its headers")
    endif()
  endforeach()

  foreach(header IN LISTS headers)
    if(NOT EXISTS ${root}/${header})
      message(FATAL_ERROR "${target}: no header ${ARG_ROOT}/${header}")
    endif()
    if(header IN_LIST ARG_PRIVATE)
      set(link ${private_dir}/${header})
    else()
      set(link ${public_dir}/${header})
    endif()
    get_filename_component(link_dir ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${link_dir})
    file(CREATE_LINK ${root}/${header} ${link} SYMBOLIC)
  endforeach()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    if(ARG_PRIVATE)
      message(FATAL_ERROR "${target}: an interface target has no private headers")
    endif()
    target_include_directories(${target} INTERFACE ${public_dir})
  else()
    file(MAKE_DIRECTORY ${public_dir})
    target_include_directories(${target} PUBLIC ${public_dir})
    if(ARG_PRIVATE)
      target_include_directories(${target} PRIVATE ${private_dir})
      set_property(TARGET ${target} PROPERTY PELVANE_PRIVATE_INCLUDE_DIR ${private_dir})
    endif()
  endif()
endfunction()

# The private header folders of the given targets, for a test of them.
function(pelvane_private_include_dirs out)
  set(dirs)
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      get_target_property(dir ${target} PELVANE_PRIVATE_INCLUDE_DIR)
      if(dir)
        list(APPEND dirs ${dir})
      endif()
    endif()
  endforeach()
  set(${out} ${dirs} PARENT_SCOPE)
endfunction()
