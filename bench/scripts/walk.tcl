# A doubly linked list of 20k nodes (arrays of value, prev and next by node
# number) walked from the head, 50 times (1M steps).
set head ""
set tail ""
for {set i 0} {$i < 20000} {incr i} {
    set value($i) [expr {$i % 10}]
    set prev($i) $tail
    set next($i) ""
    if {$tail eq ""} { set head $i } else { set next($tail) $i }
    set tail $i
}
set total 0
for {set pass 0} {$pass < 50} {incr pass} {
    set node $head
    while {$node ne ""} {
        incr total $value($node)
        set node $next($node)
    }
}
puts $total
