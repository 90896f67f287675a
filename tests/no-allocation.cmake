# Steady-state transcoding touches no heap; the test program counts every allocation.
wrenfold_test(no-allocation-test)
