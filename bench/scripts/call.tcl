# A loop calling a one-line procedure, 1M times.
proc inc {x} { expr {$x + 1} }
set n 0
for {set i 0} {$i < 1000000} {incr i} {
    set n [inc $n]
}
puts $n
