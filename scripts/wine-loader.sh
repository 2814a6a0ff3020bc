# Sourced by the scripts that run Wine: sets $wine to the loader that runs our programs, the
# 64-bit one when it is there. With Debian's wine32 installed beside it, "wine" starts every
# program through the 32-bit loader, which hands a 64-bit program to a process of its own whose
# parent is not the caller, so a signal sent to the caller (Ctrl+C in the tests) never reaches
# the program. The 64-bit loader runs 64-bit programs itself and hands 32-bit ones to the
# 32-bit loader.
if [ -x /usr/lib/wine/wine64 ]; then
  WINELOADER=/usr/lib/wine/wine64
  export WINELOADER
  wine=/usr/lib/wine/wine64
else
  wine=wine
fi
