# Fails when README.md does not hold the example program word for word.
file(READ "${EXAMPLE}" example)
file(READ "${README}" readme)
string(FIND "${readme}" "${example}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not quote ${EXAMPLE} as it is; copy the file into the "
                        "README's example block again")
endif()
