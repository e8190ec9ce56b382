# Read by cpack before it packs: the description promises the update check
# off, so a build that turns it on at start is not packed.
if(CPACK_PLOGGER_CHECK_UPDATES_BY_DEFAULT)
    message(FATAL_ERROR "This build checks for updates at start, but the package says it does not: "
                        "configure with -DPLOGGER_CHECK_UPDATES_BY_DEFAULT=OFF (scripts/lib/package.sh does).")
endif()
