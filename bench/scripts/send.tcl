# A method of an object updating a float variable, called 1M times.
oo::class create Account {
    variable balance
    constructor {} { set balance 0.0 }
    method deposit {amount} { set balance [expr {$balance + $amount * 0.5}] }
    method balance {} { return $balance }
}
set a [Account new]
for {set i 0} {$i < 1000000} {incr i} {
    $a deposit 1.5
}
puts [$a balance]
