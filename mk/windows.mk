# windows.mk - the 64-bit Windows DLL, cross-built with MinGW-w64 and tested under
# wine. `make windows` fills $(WIN_BUILD)/QEL_ZMQ-win64 with QEL_ZMQ.dll, its import
# library, the .def file and the header; `make windows-test` also runs the suite under
# wine; the CI stage does both, with the end-to-end test against the Linux service.
APT_PACKAGES += g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 \
	dpkg-dev debian-archive-keyring cppzmq-dev googletest util-linux
CI_TARGETS += ci-windows
WIN_BUILD ?= build-windows

.PHONY: windows windows-test ci-windows
windows: deps
	WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) LINUX_BUILD=$(BUILD) scripts/build-windows.sh build

windows-test: windows
	WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) LINUX_BUILD=$(BUILD) scripts/build-windows.sh test

# The Linux build comes first: it holds the qel-lua-service the Windows host talks to.
ci-windows: build
	WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) LINUX_BUILD=$(BUILD) scripts/build-windows.sh all
