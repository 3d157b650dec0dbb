int moorwinchProbe();

int main() { return moorwinchProbe(); }
