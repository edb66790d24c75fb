# A loop of n = n + 1, 1M times.
set n 0
while {$n < 1000000} {
    set n [expr {$n + 1}]
}
puts $n
