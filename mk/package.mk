# package.mk - `make deb` builds the Debian package qel-zmq in its own Release tree
# installed under /usr; `make test` checks it unpacked, and the CI stage installs it
# with apt-get, checks it in place and removes it again.
APT_PACKAGES += dpkg-dev file binutils pkg-config
DEB_BUILD ?= build-deb
CI_TARGETS += ci-deb
TEST_PREREQS += deb
TEST_ENV += QEL_ZMQ_DEB_DIR='$(abspath $(DEB_BUILD))'

.PHONY: deb ci-deb
deb: deps
	cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DQEL_ZMQ_BUILD_TESTS=OFF -DQEL_ZMQ_BUILD_BENCH=OFF -DQEL_ZMQ_BUILD_EXAMPLES=OFF
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB

ci-deb: deb
	QEL_ZMQ_DEB_DIR='$(abspath $(DEB_BUILD))' timeout 600 tests/package/check_deb.sh --install '$(CURDIR)'
