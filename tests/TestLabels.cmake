# Labels of single discovered tests. CTest reads this file after the list that test
# discovery writes, so the tests exist by then; a name that is missing is ignored.
# slow: takes half a minute or more; `ctest -LE slow` leaves it out, plain `ctest` runs it.
set_tests_properties(Zip64.LargeStoredEntryOverFourGigabytes PROPERTIES LABELS slow)
