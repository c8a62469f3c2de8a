// Linked only into ThreadSanitizer builds of orlenta-cover and its tests.
//
// FFmpeg's decoder and encoder threads and OpenCV's worker pool hand buffers to each other
// through atomics inside libraries built without ThreadSanitizer, which cannot see them, so it
// reports races in their own code that are not there; GDAL (which OpenCV asks whether it can
// read a file) takes two of its own locks in either order on one thread. Our own code is still
// checked: a report is only dropped when one of these libraries is in its stack.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libavformat.so\n"
           "race:libswscale.so\n"
           "race:libvpx.so\n"
           "race:libx264.so\n"
           "race:libtbb.so\n"
           "race:libgdal.so\n"
           "deadlock:libgdal.so\n";
}
