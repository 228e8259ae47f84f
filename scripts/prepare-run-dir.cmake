# Copies the sample catalogue into the run directory without replacing files the user already has there.
file(MAKE_DIRECTORY ${DST})
file(GLOB files ${SRC}/*)
foreach(f ${files})
  get_filename_component(name ${f} NAME)
  if(NOT EXISTS ${DST}/${name})
    file(COPY ${f} DESTINATION ${DST})
  endif()
endforeach()
