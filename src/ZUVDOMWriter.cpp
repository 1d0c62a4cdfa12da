// document writer: being written
