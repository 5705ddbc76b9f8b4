# korvex_find_real_nvcc(<var>): the path of the nvcc that actually compiles, or <var>-NOTFOUND.
#
# The first nvcc on PATH may be a wrapper script (or a symlink farm) far from its toolkit, and
# both cmake's and torch's toolkit searches go by the directory of that file. nvcc itself
# knows where it lives: a dry run prints it as _HERE_.
function(korvex_find_real_nvcc out)
  set(candidates "")
  foreach(c IN ITEMS "${CMAKE_CUDA_COMPILER}" "$ENV{CUDACXX}")
    if(c)
      list(APPEND candidates "${c}")
    endif()
  endforeach()
  foreach(root IN ITEMS "${CUDAToolkit_ROOT}" "$ENV{CUDAToolkit_ROOT}" "$ENV{CUDA_HOME}" "$ENV{CUDA_PATH}")
    if(root)
      list(APPEND candidates "${root}/bin/nvcc")
    endif()
  endforeach()
  find_program(KORVEX_NVCC_ON_PATH nvcc PATHS /usr/local/cuda/bin)
  if(KORVEX_NVCC_ON_PATH)
    list(APPEND candidates "${KORVEX_NVCC_ON_PATH}")
  endif()

  foreach(nvcc IN LISTS candidates)
    if(NOT EXISTS "${nvcc}")
      continue()
    endif()
    execute_process(COMMAND "${nvcc}" --dryrun -E -x cu /dev/null
                    OUTPUT_VARIABLE dry ERROR_VARIABLE dry RESULT_VARIABLE rc)
    if(rc EQUAL 0 AND dry MATCHES "#\\$ _HERE_=([^\r\n]+)")
      set(real "${CMAKE_MATCH_1}/nvcc")
      if(EXISTS "${real}")
        get_filename_component(real "${real}" REALPATH)
        set(${out} "${real}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "${out}-NOTFOUND" PARENT_SCOPE)
endfunction()
