# python.mk - Debian packages that the Python binding's tests need beyond pytest and
# pyzmq: pip builds and installs the binding offline with the system's setuptools.
APT_PACKAGES += python3-pip python3-setuptools python3-wheel
