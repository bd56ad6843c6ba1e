# pip install . and python3 -m build (setup.py): the Python package's wheel,
# laid out relative to the site-packages folder it installs into:
#   _tqfReader.<abi>.so, _tqfReader.pyi, tqfReader.py
#   tqfslide/                the package: its extension _native, py.typed, stubs
#   tqfslide/_libs/          libtqfslide.so.0, libyelk.so.1 and tqf-convert,
#       private to the package and found through run paths relative to each
#       file ($ORIGIN), so the folder may lie anywhere and LD_LIBRARY_PATH
#       still puts another libyelk.so.1 in place of the stand-in
#   tqfslide/_libs/openslide/  libopenslide.so.0 and .so.1 (tqf with-openslide)
# The console scripts tqf and tqf-convert come from pyproject.toml.
set(tqf_wheel_libs tqfslide/_libs)

# A wheel holds no symbolic links: libtqfslide is the single file named by
# its soname.
set_target_properties(tqfslide PROPERTIES VERSION ${PROJECT_VERSION_MAJOR})

set_target_properties(tqfslide tqf-convert PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(openslide_so0 openslide_so1 PROPERTIES INSTALL_RPATH "$ORIGIN/..")
set_target_properties(tqfreader PROPERTIES INSTALL_RPATH "$ORIGIN/${tqf_wheel_libs}")
set_target_properties(tqfslide_native PROPERTIES INSTALL_RPATH "$ORIGIN/_libs")

install(TARGETS yelk tqfslide LIBRARY DESTINATION ${tqf_wheel_libs} NAMELINK_SKIP)
install(TARGETS tqf-convert RUNTIME DESTINATION ${tqf_wheel_libs})
install(TARGETS openslide_so0 openslide_so1 LIBRARY DESTINATION ${tqf_wheel_libs}/openslide)

install(TARGETS tqfreader LIBRARY DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/tqfReader.py ${CMAKE_SOURCE_DIR}/python/tqfReader.pyi
              ${CMAKE_SOURCE_DIR}/python/_tqfReader.pyi DESTINATION .)
install(TARGETS tqfslide_native LIBRARY DESTINATION tqfslide)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/tqfslide/ DESTINATION tqfslide
    FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed" PATTERN "*.js" PATTERN "*.css"
    PATTERN "*.png" PATTERN "LICENSE*"
    PATTERN "__pycache__" EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/tqfslide/_version.py DESTINATION tqfslide)
