# The monitoring object copies the records of the card handle, the UDP sender and the host
# sampler and feeds the queue; static libraries may depend on each other in a cycle.
target_link_libraries(busgate_monitoring PUBLIC busgate_card busgate_udp busgate_system busgate_queue
                      busgate_logger Boost::date_time)
