# Windows system libraries that a program imports but seldom calls, loaded at their first call
# instead of when the program starts. The mail libraries reach into the message loop (USER32), the
# shell, COM and the sockets, which a scan from the command line never calls; Wine, where the
# Windows programs are tested and measured, pays for each library a program imports at its start,
# USER32 (its display driver) above all.
#
#   pw_delay_load(TARGET user32 shell32 ...)
#
# Each library gets a delay-import library made from the MinGW import library's own exports, and
# the target links them whole, ahead of everything: every call into them then goes through the
# delay-load helper, whatever library makes it and wherever the link line lists the ordinary
# import libraries. Only on x86-64, whose export names carry no decoration to spell out.
function(pw_delay_load TARGET)
    if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
        return()
    endif()
    # x86_64-w64-mingw32-g++-posix -> x86_64-w64-mingw32-
    get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
    string(REGEX REPLACE "g\\+\\+(-[a-z]+)?$" "" prefix "${compiler}")
    find_program(PW_DLLTOOL NAMES ${prefix}dlltool dlltool)
    find_program(PW_NM NAMES ${prefix}nm nm)
    find_library(PW_DELAYIMP delayimp)
    if(NOT PW_DLLTOOL OR NOT PW_NM OR NOT PW_DELAYIMP)
        message(STATUS "Delay-loaded system libraries: no dlltool, nm or delayimp; imported at start")
        return()
    endif()
    set(folder ${CMAKE_BINARY_DIR}/delay-load)
    file(MAKE_DIRECTORY ${folder})
    # Each library's functions, read first: a name two of them export (shell32 and shlwapi share
    # some) is left to the ordinary link, which picks one library as it always has.
    set(twice)
    foreach(name IN LISTS ARGN)
        find_library(import_${name} NAMES lib${name}.a)
        if(NOT import_${name})
            message(FATAL_ERROR "pw_delay_load: no import library for ${name}")
        endif()
        set(import ${import_${name}})
        execute_process(COMMAND ${PW_DLLTOOL} --identify ${import} OUTPUT_VARIABLE dll
                        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
        execute_process(COMMAND ${PW_NM} -g --defined-only ${import} OUTPUT_VARIABLE symbols
                        RESULT_VARIABLE failed_nm)
        if(failed OR failed_nm OR dll STREQUAL "")
            message(FATAL_ERROR "pw_delay_load: cannot read ${import}")
        endif()
        # The functions: their thunks are text symbols; the import descriptors' own are not.
        string(REGEX MATCHALL "[ \t]T [A-Za-z_][A-Za-z0-9_@?$]*" exports "${symbols}")
        list(TRANSFORM exports REPLACE "^[ \t]T " "")
        list(REMOVE_DUPLICATES exports)
        set(exports_${name} ${exports})
        set(dll_${name} ${dll})
        foreach(export IN LISTS exports)
            if(DEFINED "seen_${export}")
                list(APPEND twice ${export})
            endif()
            set("seen_${export}" 1)
        endforeach()
    endforeach()
    set(whole)
    foreach(name IN LISTS ARGN)
        set(exports ${exports_${name}})
        set(dll ${dll_${name}})
        if(twice)
            list(REMOVE_ITEM exports ${twice})
        endif()
        list(JOIN exports "\n    " body)
        set(def ${folder}/${name}.def)
        set(lib ${folder}/lib${name}-delay.a)
        file(WRITE ${def}.new "LIBRARY ${dll}\nEXPORTS\n    ${body}\n")
        execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${def}.new ${def})
        if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
            execute_process(COMMAND ${PW_DLLTOOL} -d ${def} -D ${dll} -y ${lib}
                            RESULT_VARIABLE failed)
            if(failed)
                message(FATAL_ERROR "pw_delay_load: dlltool could not make ${lib}")
            endif()
        endif()
        list(APPEND whole ${lib})
    endforeach()
    list(JOIN whole "," joined)
    target_link_options(${TARGET} PRIVATE
        "LINKER:--whole-archive,${joined},--no-whole-archive")
    target_link_libraries(${TARGET} PRIVATE ${PW_DELAYIMP})
endfunction()
