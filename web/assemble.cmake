# The page as one file: the template with the worker's script (JSZip, the
# core with its WebAssembly, worker.js) and the page's script inline, since
# a page opened from disk may load no file of its own.
#   cmake -DTEMPLATE= -DCORE= -DJSZIP= -DWORKER= -DPAGE= -DOUTPUT= -P assemble.cmake
function(inline variable)
  set(text "")
  foreach(path ${ARGN})
    file(READ ${path} part)
    string(APPEND text "${part}\n")
  endforeach()
  # Inside a script element these would end it, or begin what HTML takes as a comment there.
  string(REPLACE "</script" "<\\/script" text "${text}")
  string(REPLACE "<!--" "<\\!--" text "${text}")
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()
inline(QUORVEL_WORKER ${JSZIP} ${CORE} ${WORKER})
inline(QUORVEL_PAGE ${PAGE})
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
