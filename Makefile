# The two entry points: `make demo` runs an update against a virtual handheld; `make test` runs every test.
.PHONY: deps demo test host asan tsan device win32 test-host test-asan test-tsan test-device test-win32 test-cross test-wine test-demo clean

JOBS ?= 2

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

device: deps
	cmake --preset device >/dev/null
	cmake --build --preset device -j $(JOBS)

win32: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)

test-host: host
	ctest --preset host

test-asan: asan
	ctest --preset asan

test-tsan: tsan
	ctest --preset tsan

test-device: device
	ctest --preset device

test-win32: win32
	scripts/check-dll-exports.sh build/win32

# The host library flashes a virtual handheld; the ARM programs read it back under qemu-arm.
test-cross: host device
	tests/cross/run.sh

# The platform layer's behaviour and the library's start-up files against the real Win32 services of
# wine64 (a 64-bit Dravik.dll), and the Windows build of dravik-update run under wine64 against it.
test-wine: host
	scripts/check-wine-platform.sh build/wine build/host
	scripts/check-windows-tool.sh build/wine

# The demo as a newcomer runs it, from a deep directory and with two host classes, into temporary places.
test-demo: host
	scripts/check-demo.sh build/host

test: test-host test-win32 test-wine test-device test-cross test-demo test-asan test-tsan
	@echo "All test suites passed."

demo: host
	tools/demo.sh $(DEMO_ARGS)

clean:
	rm -rf build
