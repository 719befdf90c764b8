# Plug-ins for examination: well-behaved, odd and misbehaving variants of one
# small source per format, told apart by SCAN_KIND.
foreach(kind fx odd synth crash hang exit empty nofactory badversion initfail noentry child)
  string(TOUPPER ${kind} upper)
  krevlo_clap_plugin(scan_${kind} SOURCES scan_clap.c DEFINES SCAN_KIND=SCAN_${upper})
endforeach()

foreach(kind fx synth crash hang exit empty nounicode exithang)
  string(TOUPPER ${kind} upper)
  krevlo_vst3_plugin(scan_${kind} SOURCES scan_vst3.cpp DEFINES SCAN_KIND=SCAN_${upper})
endforeach()
# The same classes, also described by a module info (with comments, trailing
# commas and a lower-case class id).
krevlo_vst3_plugin(scan_fx_info SOURCES scan_vst3.cpp DEFINES SCAN_KIND=SCAN_FX
  MODULEINFO ${CMAKE_CURRENT_SOURCE_DIR}/scan_fx_moduleinfo.json)
