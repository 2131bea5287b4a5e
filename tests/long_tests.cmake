# Read by ctest after the test programs' own lists: the tests that wait longest start
# first, so that at several jobs the suite does not end waiting for one of them alone.
# (Once ctest has timed a run, its own measurements order the tests.)
# It runs the slow scenarios of the other tests as well: under the sanitizers that takes long.
set_tests_properties(Transfer.TheRealProgramsPauseAsLongAsTheyMust PROPERTIES COST 1000 TIMEOUT 300)
set_tests_properties(DialogChoice.GtkIsLoadedOnlyForADisplayThatAnswersAndFromTrustedPlaces PROPERTIES COST 200)
