puts 1
