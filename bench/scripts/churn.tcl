# The list as a queue: lappend at the tail, lassign off the head, 1M times.
set q {}
for {set i 1} {$i <= 1000000} {incr i} {
    lappend q $i
    set q [lassign $q head]
}
puts "[llength $q] [expr {$i - 1}]"
