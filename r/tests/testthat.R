library(testthat)
library(quarnel)

test_check("quarnel")
