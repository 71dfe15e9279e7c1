# Shortcuts for ./dev, which does the work (and needs nothing but bash on a fresh machine).
.PHONY: run test bench package clean
run:
	./dev run
test:
	./dev test
bench:
	./dev bench
package:
	./dev package
clean:
	rm -rf build
