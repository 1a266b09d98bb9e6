# Read by cpack before it packages. CPack's ZIP generator takes the members'
# times from SOURCE_DATE_EPOCH; without it they would be the time of packaging
# and two builds would differ.
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")
kelvane_source_date_epoch(_epoch "${CPACK_KELVANE_SOURCE_DIR}")
set(ENV{SOURCE_DATE_EPOCH} "${_epoch}")
# A ZIP member's DOS time is a local time: the archive is made in UTC so that
# the time zone of the machine that builds it does not show.
set(ENV{TZ} UTC)
